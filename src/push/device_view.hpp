#pragma once
#include <nlohmann/json_fwd.hpp>

namespace pellan {

struct DeviceEntry;

/// The one JSON object through which the UI sees a device (31 keys): the REST device list
/// and the "device" push both send it. Of the eleven-element GPIO arrays only ports 1..10
/// are sent; "capabilities" comes from the model row of the stock code. A pure function of
/// the record and the fixed model table; never fails.
nlohmann::json buildDeviceView(const DeviceEntry& entry);

}  // namespace pellan
