#include "web/router.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

namespace pellan {
namespace {

constexpr std::string_view kSegmentParam = "<string>";
constexpr std::string_view kRestParam = "<path>";

// The order in which "Allow" lists the methods that have routes.
constexpr std::array<HttpMethod, 5> kRoutableMethods{
    HttpMethod::Get, HttpMethod::Post, HttpMethod::Put, HttpMethod::Delete, HttpMethod::Patch};

}  // namespace

Router::Router(std::vector<RouteKey> order) : order_(std::move(order)) {}

void Router::add(HttpMethod method, std::string_view pattern, Handler handler,
                 RouteExecution execution) {
    if (pattern.empty() || pattern.front() != '/') {
        throw std::invalid_argument("route pattern must start with '/'");
    }
    if (method == HttpMethod::Head || method == HttpMethod::Options ||
        method == HttpMethod::Other) {
        throw std::invalid_argument("HEAD and OPTIONS are answered by the router itself");
    }
    std::vector<Part> parts;
    std::string_view rest = pattern;
    while (!rest.empty()) {
        if (!parts.empty() && parts.back().kind == Part::Kind::Rest) {
            throw std::invalid_argument("\"<path>\" must end the pattern");
        }
        const std::size_t open = rest.find('<');
        if (open != 0) {
            const std::string_view literal = rest.substr(0, open);
            parts.push_back({Part::Kind::Literal, std::string(literal)});
            rest.remove_prefix(literal.size());
            continue;
        }
        if (rest.starts_with(kSegmentParam)) {
            parts.push_back({Part::Kind::Segment, {}});
            rest.remove_prefix(kSegmentParam.size());
        } else if (rest.starts_with(kRestParam)) {
            parts.push_back({Part::Kind::Rest, {}});
            rest.remove_prefix(kRestParam.size());
        } else {
            throw std::invalid_argument("unknown route parameter");
        }
    }
    // Routes outside the order rank after all of it, in the order they were added; among
    // routes of equal rank the first added is matched first.
    std::size_t rank = order_.size() + added_++;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        if (order_[i].method == method && order_[i].pattern == pattern) {
            rank = i;
            break;
        }
    }
    const auto place =
        std::upper_bound(routes_.begin(), routes_.end(), rank,
                         [](std::size_t value, const Route& route) { return value < route.rank; });
    routes_.insert(place, Route{method, std::string(pattern), rank, std::move(parts),
                                std::move(handler), execution});
}

std::vector<RouteKey> Router::routes() const {
    std::vector<RouteKey> keys;
    keys.reserve(routes_.size());
    for (const Route& route : routes_) {
        keys.push_back({route.method, route.pattern});
    }
    return keys;
}

bool Router::match(const std::vector<Part>& parts, std::string_view path,
                   std::vector<std::string>* params) {
    std::size_t pos = 0;
    for (const Part& part : parts) {
        switch (part.kind) {
        case Part::Kind::Literal:
            if (path.substr(pos, part.text.size()) != part.text) {
                return false;
            }
            pos += part.text.size();
            break;
        case Part::Kind::Segment: {
            const std::size_t end = std::min(path.find('/', pos), path.size());
            if (end == pos) {
                return false;
            }
            if (params != nullptr) {
                params->emplace_back(path.substr(pos, end - pos));
            }
            pos = end;
            break;
        }
        case Part::Kind::Rest:
            if (pos >= path.size()) {
                return false;
            }
            if (params != nullptr) {
                params->emplace_back(path.substr(pos));
            }
            pos = path.size();
            break;
        }
    }
    return pos == path.size();
}

std::string Router::allowedMethods(std::string_view path, bool* any) const {
    std::string allow = "OPTIONS";
    *any = false;
    bool hasGet = false;
    std::string others;
    for (const HttpMethod method : kRoutableMethods) {
        bool matched = false;
        for (const Route& route : routes_) {
            if (route.method == method && match(route.parts, path, nullptr)) {
                matched = true;
                break;
            }
        }
        if (!matched) {
            continue;
        }
        *any = true;
        hasGet = hasGet || method == HttpMethod::Get;
        others += ", ";
        others += httpMethodName(method);
    }
    if (hasGet) {
        allow += ", HEAD";
    }
    return allow + others;
}

Router::Resolution Router::resolve(HttpMethod method, std::string_view path) const {
    Resolution resolution;
    const HttpMethod lookup = method == HttpMethod::Head ? HttpMethod::Get : method;
    if (lookup != HttpMethod::Options && lookup != HttpMethod::Other) {
        for (const Route& route : routes_) {
            if (route.method != lookup) {
                continue;
            }
            std::vector<std::string> params;
            if (match(route.parts, path, &params)) {
                resolution.handler = &route.handler;
                resolution.execution = route.execution;
                resolution.params = std::move(params);
                return resolution;
            }
        }
    }
    bool any = false;
    std::string allow = allowedMethods(path, &any);
    if (!any) {
        resolution.response = textResponse(404, {});
        return resolution;
    }
    resolution.response = textResponse(method == HttpMethod::Options ? 204 : 405, {});
    resolution.response.headers.emplace_back("Allow", std::move(allow));
    return resolution;
}

}  // namespace pellan
