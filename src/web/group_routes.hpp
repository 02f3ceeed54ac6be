#pragma once
#include "web/route_context.hpp"
#include "web/router.hpp"

namespace pellan {

/// The group routes: read, replace, create, rename, order and delete groups, add and remove a
/// device. The handlers keep `context` and use it on the server's threads, so it must outlive
/// `router`.
void addGroupRoutes(Router& router, const RouteContext& context);

}  // namespace pellan
