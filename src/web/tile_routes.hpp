#pragma once
#include "web/route_context.hpp"
#include "web/router.hpp"

namespace pellan {

/// The application's version as GET "/api/version" reports it.
inline constexpr const char* kApplicationVersion = "1.6";

/// The tile settings, display fields, logs and version routes. The handlers keep `context` and
/// use it on the server's threads, so it must outlive `router`.
void addTileRoutes(Router& router, const RouteContext& context);

}  // namespace pellan
