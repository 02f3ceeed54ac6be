#include "web/http_message.hpp"

#include "base/ascii.hpp"

#include <array>
#include <utility>

namespace pellan {
namespace {

struct MethodName {
    HttpMethod method;
    std::string_view name;
};

constexpr std::array<MethodName, 7> kMethodNames{{
    {HttpMethod::Get, "GET"},
    {HttpMethod::Head, "HEAD"},
    {HttpMethod::Post, "POST"},
    {HttpMethod::Put, "PUT"},
    {HttpMethod::Delete, "DELETE"},
    {HttpMethod::Patch, "PATCH"},
    {HttpMethod::Options, "OPTIONS"},
}};

}  // namespace

std::string_view httpMethodName(HttpMethod method) {
    for (const MethodName& entry : kMethodNames) {
        if (entry.method == method) {
            return entry.name;
        }
    }
    return "OTHER";
}

HttpMethod parseHttpMethod(std::string_view name) {
    for (const MethodName& entry : kMethodNames) {
        if (entry.name == name) {
            return entry.method;
        }
    }
    return HttpMethod::Other;
}

const std::string* HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringAsciiCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

HttpResponse textResponse(int status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

HttpResponse sharedTextResponse(int status, std::shared_ptr<const std::string> body) {
    HttpResponse response;
    response.status = status;
    response.sharedBody = std::move(body);
    return response;
}

HttpResponse typedResponse(int status, std::string body, std::string contentType) {
    HttpResponse response = textResponse(status, std::move(body));
    response.headers.emplace_back("Content-Type", std::move(contentType));
    return response;
}

}  // namespace pellan
