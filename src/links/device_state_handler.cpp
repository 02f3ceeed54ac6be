#include "links/device_state_handler.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/device_model.hpp"
#include "log/logger.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>

namespace pellan {

namespace {

using Json = nlohmann::json;

// The two- and four-channel panels number their channels 22 to 25.
constexpr int kFirstPanelChannelId = 22;
constexpr int kPanelChannels = 4;
// Level changes of at most this many units per channel are not worth a push.
constexpr std::int32_t kPanelMeterDeadBand = 5;
constexpr std::size_t kInputUnitChannels = 8;

std::string typeError(const char* key, const char* expected, const Json& value) {
    return std::string("member \"") + key + "\" must be " + expected + ", but is " +
           value.type_name();
}

/// A JSON true or false; any other type fails the message.
bool asBool(const Json& value, const char* key) {
    if (!value.is_boolean()) {
        throw std::invalid_argument(typeError(key, "a boolean", value));
    }
    return value.get<bool>();
}

/// A JSON number (a fraction is cut off) or a bool (0 or 1). A value outside the 32-bit
/// range is a failed number conversion, not a wrapped one.
std::int32_t asInteger(const Json& value, const char* key) {
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    const auto outOfRange = [key] {
        return std::out_of_range(std::string("member \"") + key + "\" is out of the integer range");
    };
    switch (value.type()) {
    case Json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer: {
        const auto number = value.get<std::int64_t>();
        if (number < kMin || number > kMax) {
            throw outOfRange();
        }
        return static_cast<std::int32_t>(number);
    }
    case Json::value_t::number_unsigned: {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(kMax)) {
            throw outOfRange();
        }
        return static_cast<std::int32_t>(number);
    }
    case Json::value_t::number_float: {
        const double number = std::trunc(value.get<double>());
        if (!(number >= static_cast<double>(kMin) && number <= static_cast<double>(kMax))) {
            throw outOfRange();
        }
        return static_cast<std::int32_t>(number);
    }
    default:
        throw std::invalid_argument(typeError(key, "a number", value));
    }
}

std::string asString(const Json& value, const char* key) {
    if (!value.is_string()) {
        throw std::invalid_argument(typeError(key, "a string", value));
    }
    return value.get<std::string>();
}

// Members with a default: the default when the key is absent, else the value, which must
// then have the member's type.
bool boolMember(const Json& object, const char* key, bool fallback) {
    const auto found = object.find(key);
    return found == object.end() ? fallback : asBool(*found, key);
}

std::int32_t integerMember(const Json& object, const char* key, std::int32_t fallback) {
    const auto found = object.find(key);
    return found == object.end() ? fallback : asInteger(*found, key);
}

std::string stringMember(const Json& object, const char* key, const std::string& fallback) {
    const auto found = object.find(key);
    return found == object.end() ? fallback : asString(*found, key);
}

const Json* findMember(const Json& document, const char* key) {
    if (!document.is_object()) {
        return nullptr;
    }
    const auto found = document.find(key);
    return found == document.end() ? nullptr : &*found;
}

void requireObject(const Json& element, const char* arrayKey) {
    if (!element.is_object()) {
        throw std::invalid_argument(std::string("an element of \"") + arrayKey +
                                    "\" must be an object, but is " + element.type_name());
    }
}

/// The panel channel index (0 to 3) of a family-2 channel "id", or -1 when the element is
/// to be skipped: an "id" that is not a string, has no leading decimal digits, or names
/// another channel.
int panelChannelIndex(const Json& channel) {
    const auto found = channel.find("id");
    std::string id = "0";
    if (found != channel.end()) {
        if (!found->is_string()) {
            return -1;
        }
        id = found->get<std::string>();
    }
    // Saturates: any value this large names no channel, and it cannot overflow.
    constexpr int kSaturated = 1000000;
    std::size_t digits = 0;
    int value = 0;
    while (digits < id.size() && id[digits] >= '0' && id[digits] <= '9') {
        value = std::min(value * 10 + (id[digits] - '0'), kSaturated);
        ++digits;
    }
    if (digits == 0) {
        return -1;
    }
    const int index = value - kFirstPanelChannelId;
    return index >= 0 && index < kPanelChannels ? index : -1;
}

/// The decimal channel number in the first two characters of a family-2 meter name.
int meterChannelId(const std::string& name) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(name[0]) || !digit(name[1])) {
        throw std::invalid_argument("meter name \"" + name.substr(0, 2) +
                                    "\" does not begin with a decimal channel number");
    }
    return (name[0] - '0') * 10 + (name[1] - '0');
}

}  // namespace

DeviceStateHandler::DeviceStateHandler(Logger& logger, DeviceManager& devices, std::string address,
                                       std::string model, MeterCallback meterForward,
                                       DeviceStateCallback stateForward)
    : logger_(logger), devices_(devices), address_(std::move(address)), model_(std::move(model)),
      family_(lookupDeviceModel(model_).stateParser), meterForward_(std::move(meterForward)),
      stateForward_(std::move(stateForward)) {}

void DeviceStateHandler::handleMessage(std::string_view text) {
    try {
        const Json document = Json::parse(text.begin(), text.end());
        dispatch(document);
    } catch (const std::exception& error) {
        logger_.log("Device websocket JSON parse/handle error for " + address_ + ": " +
                        error.what(),
                    "error");
    } catch (...) {
        logger_.log("Device websocket JSON parse/handle error for " + address_ + ": unknown error",
                    "error");
    }
}

void DeviceStateHandler::dispatch(const Json& document) {
    switch (family_) {
    case StateMessageFamily::None:
        return;
    case StateMessageFamily::OneChannelPanel:
        applyOneChannelPanel(document);
        return;
    case StateMessageFamily::MultiChannelPanel: {
        // The panel sends its whole state wrapped in "init" when the link opens and changes
        // at the top level afterwards; one message may carry both, "init" first.
        const Json* init = findMember(document, "init");
        if (init != nullptr && init->is_object()) {
            applyMultiChannelPanel(*init);
        }
        if (findMember(document, "ins") != nullptr || findMember(document, "iM") != nullptr) {
            applyMultiChannelPanel(document);
        }
        return;
    }
    case StateMessageFamily::EightInputUnit:
        applyEightInputUnit(document);
        return;
    case StateMessageFamily::RackUnit:
        applyRackUnit(document);
        return;
    }
}

void DeviceStateHandler::applyOneChannelPanel(const Json& document) {
    bool onAir = caches_.onAir[0];
    bool lazy = caches_.lazyGang[0];
    std::string talk;
    bool changed = false;

    const Json* buttons = findMember(document, "buttons");
    if (buttons != nullptr && buttons->is_object()) {
        bool talkback[3] = {false, false, false};
        const Json* list = findMember(*buttons, "btns");
        if (list != nullptr && list->is_array()) {
            for (const Json& button : *list) {
                requireObject(button, "btns");
                const std::string name = stringMember(button, "name", "");
                const bool active = boolMember(button, "active", false);
                if (name == "onair") {
                    onAir = active;
                } else if (name == "tb1") {
                    talkback[0] = active;
                } else if (name == "tb2") {
                    talkback[1] = active;
                } else if (name == "tb3") {
                    talkback[2] = active;
                }
            }
        }
        const Json* lazyGang = findMember(*buttons, "lazygang");
        if (lazyGang != nullptr) {
            if (lazyGang->is_boolean()) {
                lazy = lazyGang->get<bool>();
            } else if (lazyGang->is_object()) {
                lazy = boolMember(*lazyGang, "active", false);
            }
        }
        const char* const letters[3] = {"A", "B", "C"};
        for (int i = 0; i < 3; ++i) {
            if (talkback[i]) {
                talk += letters[i];
            }
        }
        changed =
            onAir != caches_.onAir[0] || talk != caches_.talkback[0] || lazy != caches_.lazyGang[0];
    }

    std::int32_t level = caches_.meter[0];
    bool meterChanged = false;
    const Json* meter = findMember(document, "meter");
    if (meter != nullptr && meter->is_object()) {
        const Json* segments = findMember(*meter, "segments");
        if (segments != nullptr) {
            level = asInteger(*segments, "segments");
            meterChanged = level != caches_.meter[0];
        }
    }

    if (changed) {
        caches_.onAir[0] = onAir;
        caches_.talkback[0] = talk;
        caches_.lazyGang[0] = lazy;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (device.hostname.empty()) {
            logger_.log("PN1 audio state update, but device not found by ip=" + address_, "device");
        } else {
            DeviceEntry record;
            record.onAirStates[0] = onAir;
            record.talkBackStates[0] = talk;
            record.lazyGang[0] = lazy;
            devices_.updateAudioStateByIp(address_, record);
            forwardState(device.hostname, record);
        }
    }
    if (meterChanged) {
        caches_.meter[0] = level;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (!device.hostname.empty()) {
            DeviceEntry record;
            record.meterLevels = device.meterLevels;
            record.meterLevels[0] = level;
            devices_.updateMeterLevelsByIp(address_, record);
            forwardMeter(device.hostname, {level});
        }
    }
}

void DeviceStateHandler::applyMultiChannelPanel(const Json& object) {
    DeviceStateCaches work = caches_;
    bool meterChanged = false;

    const Json* channels = findMember(object, "ins");
    if (channels != nullptr && channels->is_array()) {
        for (const Json& channel : *channels) {
            requireObject(channel, "ins");
            const int ch = panelChannelIndex(channel);
            if (ch < 0) {
                continue;
            }
            const auto i = static_cast<std::size_t>(ch);
            const bool onAir = boolMember(channel, "on_air", false);
            const std::string talkback = stringMember(channel, "tbs", "");
            const bool lazy = boolMember(channel, "lzg", false);
            const bool muted = boolMember(channel, "m", false);
            const bool cough = boolMember(channel, "cgh", false);
            const bool oat = boolMember(channel, "oat", false);
            work.talkback[i] = talkback;
            work.lazyGang[i] = lazy;
            work.muted[i] = muted;
            work.cough[i] = cough;
            work.oat[i] = oat;
            // The lamp is lit while cough is off and either no talkback is active or the
            // channel stays on air during talkback.
            work.onAir[i] = onAir && !cough && (oat || talkback.empty());
        }
    }
    const bool changed = work.talkback != caches_.talkback || work.onAir != caches_.onAir ||
                         work.lazyGang != caches_.lazyGang || work.muted != caches_.muted ||
                         work.cough != caches_.cough || work.oat != caches_.oat;

    const Json* meters = findMember(object, "iM");
    if (meters != nullptr && meters->is_array()) {
        for (const Json& meter : *meters) {
            requireObject(meter, "iM");
            const std::string name = stringMember(meter, "l", "");
            const std::int32_t level = integerMember(meter, "v", 0);
            if (name.size() < 2) {
                continue;
            }
            const int index = meterChannelId(name) - kFirstPanelChannelId;
            if (index < 0 || index >= kPanelChannels) {
                continue;
            }
            std::int32_t& cached = work.meter[static_cast<std::size_t>(index)];
            if (std::llabs(static_cast<long long>(level) - cached) > kPanelMeterDeadBand) {
                cached = level;
                meterChanged = true;
            }
        }
    }

    if (changed) {
        caches_.onAir = work.onAir;
        caches_.talkback = work.talkback;
        caches_.lazyGang = work.lazyGang;
        caches_.muted = work.muted;
        caches_.cough = work.cough;
        caches_.oat = work.oat;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (device.hostname.empty()) {
            logger_.log("PN2/PN4 audio state, update but device not found by ip=" + address_,
                        "device");
        } else {
            DeviceEntry record;
            record.onAirStates = work.onAir;
            record.talkBackStates = work.talkback;
            record.lazyGang = work.lazyGang;
            record.muted = work.muted;
            record.cough = work.cough;
            devices_.updateAudioStateByIp(address_, record);
            forwardState(device.hostname, record);
        }
    }
    if (meterChanged) {
        caches_.meter = work.meter;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (!device.hostname.empty()) {
            DeviceEntry record;
            record.meterLevels = work.meter;
            devices_.updateMeterLevelsByIp(address_, record);
            forwardMeter(
                device.hostname,
                std::vector<std::int32_t>(work.meter.begin(), work.meter.begin() + kPanelChannels));
        }
    }
}

void DeviceStateHandler::applyEightInputUnit(const Json& document) {
    std::array<bool, 8> muted = caches_.muted;
    std::array<bool, 8> gpiMute = caches_.gpiMute;
    std::array<std::int32_t, 8> levels = caches_.meter;
    bool inputsChanged = false;
    bool meterChanged = false;

    const Json* inputs = findMember(document, "inputs");
    if (inputs != nullptr && inputs->is_array()) {
        for (const Json& input : *inputs) {
            requireObject(input, "inputs");
            const auto idxMember = input.find("idx");
            if (idxMember == input.end()) {
                continue;
            }
            const std::int32_t idx = asInteger(*idxMember, "idx");
            if (idx < 0 || idx >= static_cast<std::int32_t>(kInputUnitChannels)) {
                continue;
            }
            const auto i = static_cast<std::size_t>(idx);
            const auto gpi = input.find("gpi_m");
            if (gpi != input.end() && gpi->is_boolean()) {
                gpiMute[i] = gpi->get<bool>();
                inputsChanged = inputsChanged || gpiMute[i] != caches_.gpiMute[i];
            }
            const auto mute = input.find("mute");
            if (mute != input.end() && mute->is_boolean()) {
                muted[i] = mute->get<bool>();
                inputsChanged = inputsChanged || muted[i] != caches_.muted[i];
            }
        }
    }

    const Json* meters = findMember(document, "meter");
    if (meters != nullptr && meters->is_array()) {
        const std::size_t count = std::min(meters->size(), kInputUnitChannels);
        for (std::size_t i = 0; i < count; ++i) {
            const Json* segments = findMember((*meters)[i], "segments");
            if (segments == nullptr) {
                continue;
            }
            const std::int32_t level = asInteger(*segments, "segments");
            if (level != levels[i]) {
                levels[i] = level;
                meterChanged = true;
            }
        }
    }

    if (inputsChanged) {
        caches_.muted = muted;
        caches_.gpiMute = gpiMute;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (device.hostname.empty()) {
            logger_.log("TRQ-R8X input audio state update, but device not found by ip=" + address_,
                        "device");
        } else {
            devices_.updateInputStateByIp(address_, muted, gpiMute);
            DeviceEntry record;
            record.stockCode = model_;
            record.muted = muted;
            record.gpiMuteStates = gpiMute;
            forwardState(device.hostname, record);
        }
    }
    if (meterChanged) {
        caches_.meter = levels;
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        if (!device.hostname.empty()) {
            DeviceEntry record;
            record.meterLevels = levels;
            devices_.updateMeterLevelsByIp(address_, record);
            forwardMeter(device.hostname, std::vector<std::int32_t>(levels.begin(), levels.end()));
        }
    }
}

void DeviceStateHandler::applyRackUnit(const Json& document) {
    const Json* micMute = findMember(document, "mic_mute");
    if (micMute == nullptr) {
        return;
    }
    bool value = false;
    if (micMute->is_boolean()) {
        value = micMute->get<bool>();
    } else if (micMute->is_number()) {
        value = std::trunc(micMute->get<double>()) != 0.0;
    } else {
        return;
    }
    // The registry's value is the reference: no cache of its own on this link.
    if (!devices_.setMicMutedByIp(address_, value)) {
        return;
    }
    const DeviceEntry device = devices_.findDeviceByIp(address_);
    if (device.hostname.empty()) {
        logger_.log("VK-Q audio state update received but device not found for IP " + address_,
                    "device");
        return;
    }
    logger_.log("Device " + device.hostname + " Microphone Mute " +
                    (value ? "Enabled" : "Disabled"),
                "device");
    forwardState(device.hostname, device);
}

void DeviceStateHandler::forwardMeter(const std::string& hostname,
                                      const std::vector<std::int32_t>& levels) {
    if (meterForward_) {
        meterForward_(hostname, levels);
    }
}

void DeviceStateHandler::forwardState(const std::string& hostname, const DeviceEntry& record) {
    if (stateForward_) {
        stateForward_(hostname, record);
    }
}

}  // namespace pellan
