#include "pg_uri.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kav::station {

namespace {

constexpr const char *kSchemes[] = {"postgresql://", "postgres://"};

std::size_t schemeLength(const std::string &s) {
    for (const char *scheme : kSchemes) {
        const std::string prefix{scheme};
        if (s.compare(0, prefix.size(), prefix) == 0)
            return prefix.size();
    }
    return 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// libpq decodes a query key before matching it, so "p%61ssword" is a password.
std::string decodedLower(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool isPasswordKey(const std::string &param) {
    const std::string key = decodedLower(param.substr(0, param.find('=')));
    // Spaces around the key would not fool libpq into another meaning.
    const auto first = key.find_first_not_of(" \t");
    const auto last = key.find_last_not_of(" \t");
    return first != std::string::npos && key.substr(first, last - first + 1) == "password";
}

} // namespace

bool isCentralUri(const std::string &db) {
    return schemeLength(db) != 0;
}

std::string redactUri(const std::string &uri) {
    const std::size_t start = schemeLength(uri);
    if (start == 0)
        return uri;
    std::string rest = uri.substr(start);

    // The userinfo ends at the last '@' before the later of the first '/'
    // and the first '?': a password holding '/', '?' or '@' (unencoded)
    // still falls inside it. A '@' after "?key=" is a query value's.
    const std::size_t slash = rest.find('/');
    const std::size_t query = rest.find('?');
    const std::size_t bound = slash != std::string::npos && query != std::string::npos
                                  ? std::max(slash, query)
                                  : rest.size();
    std::size_t at = rest.rfind('@', bound);
    if (at != std::string::npos && query != std::string::npos && at > query &&
        rest.find('=', query) < at)
        at = query == 0 ? std::string::npos : rest.rfind('@', query - 1);
    if (at != std::string::npos) {
        std::string user = rest.substr(0, at);
        const std::size_t colon = user.find(':');
        if (colon != std::string::npos)
            user.erase(colon);
        rest = (user.empty() ? std::string() : user + "@") + rest.substr(at + 1);
    }

    const std::size_t q = rest.find('?');
    if (q == std::string::npos)
        return uri.substr(0, start) + rest;
    std::string kept;
    std::size_t from = q + 1;
    while (from <= rest.size()) {
        std::size_t amp = rest.find('&', from);
        if (amp == std::string::npos)
            amp = rest.size();
        const std::string param = rest.substr(from, amp - from);
        if (!param.empty() && !isPasswordKey(param))
            kept += (kept.empty() ? "" : "&") + param;
        from = amp + 1;
    }
    return uri.substr(0, start) + rest.substr(0, q) + (kept.empty() ? "" : "?" + kept);
}

bool havePostgres() {
#ifdef KAV_HAVE_POSTGRESQL
    return true;
#else
    return false;
#endif
}

} // namespace kav::station
