#pragma once
#include "devices/device_model.hpp"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {
class DeviceManager;
class Logger;
struct DeviceEntry;

/// Called with the registry host name of the device and its new meter levels: one level for
/// the one-channel panel, four for the two- and four-channel panels, eight for the eight-input
/// unit.
using MeterCallback =
    std::function<void(const std::string& hostname, const std::vector<std::int32_t>& levels)>;
/// Called with the registry host name of the device and the record of the state that changed
/// (for the rack unit: the registry's copy of the device).
using DeviceStateCallback =
    std::function<void(const std::string& hostname, const DeviceEntry& record)>;

/// The last values one link has seen; a message leads to work only where it differs.
struct DeviceStateCaches {
    std::array<bool, 4> onAir{};
    std::array<std::int32_t, 8> meter{};
    std::array<std::string, 4> talkback{};
    std::array<bool, 4> lazyGang{};
    std::array<bool, 8> muted{};
    std::array<bool, 4> cough{};
    /// Kept only to notice changes; never written to the registry.
    std::array<bool, 4> oat{};
    std::array<bool, 8> gpiMute{};

    bool operator==(const DeviceStateCaches&) const = default;
};

/// Turns the JSON state messages one device pushes over its link into registry updates and
/// the two callbacks, in the message family that the link's model speaks. No I/O.
///
/// A family keeps what it reads in working values and writes its caches and the registry
/// only in its final steps, so a message that fails part-way changes neither; the failure is
/// logged under "error" and the next message is handled normally.
///
/// Kind: loop-bound. Every member runs on the link's thread (the WebSocket loop), one
///   message at a time; the caches are touched nowhere else.
/// Callbacks: both run on the caller's thread (the link's), with no lock of this class held
///   (it has none) and outside the registry lock. An exception from one is logged as a failed
///   message.
/// Lifetime: `logger` and `devices` must outlive this object.
class DeviceStateHandler {
public:
    DeviceStateHandler(Logger& logger, DeviceManager& devices, std::string address,
                       std::string model, MeterCallback meterForward,
                       DeviceStateCallback stateForward);

    /// One data message of the link, text or binary, exactly as received.
    void handleMessage(std::string_view text);

    const DeviceStateCaches& caches() const { return caches_; }
    const std::string& address() const { return address_; }
    const std::string& model() const { return model_; }

private:
    using Json = nlohmann::json;

    void dispatch(const Json& document);
    void applyOneChannelPanel(const Json& document);
    void applyMultiChannelPanel(const Json& object);
    void applyEightInputUnit(const Json& document);
    void applyRackUnit(const Json& document);

    void forwardMeter(const std::string& hostname, const std::vector<std::int32_t>& levels);
    void forwardState(const std::string& hostname, const DeviceEntry& record);

    Logger& logger_;
    DeviceManager& devices_;
    const std::string address_;
    const std::string model_;
    const StateMessageFamily family_;
    const MeterCallback meterForward_;
    const DeviceStateCallback stateForward_;
    DeviceStateCaches caches_;
};

}  // namespace pellan
