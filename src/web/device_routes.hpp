#pragma once
#include "web/route_context.hpp"
#include "web/router.hpp"

namespace pellan {

/// The device and monitoring routes: list, add and remove devices, list the monitored ones and
/// switch a device's monitoring. The handlers keep `context` and use it on the server's
/// threads, so it must outlive `router`.
void addDeviceRoutes(Router& router, const RouteContext& context);

}  // namespace pellan
