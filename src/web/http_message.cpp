#include "web/http_message.hpp"

#include <array>
#include <cstddef>
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

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

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
