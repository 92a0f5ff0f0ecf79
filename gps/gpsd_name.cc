#include "gps/gpsd_name.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr char kBracketsHint[] =
    "brackets hold an IPv6 address, as in gpsd://[::1]:2947";


// The reason, as ParseGpsdName returns it.
int Wrong(std::string& why, const char* what) {
  why = what;
  return -EINVAL;
}

}  // namespace

int ParseGpsdName(const char* name, GpsdAddress& address, std::string& why) {
  address = GpsdAddress();
  const std::string_view rest(name + strlen(kGpsdScheme));
  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  std::string_view device =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  if (device == "/") device = {};
  std::string_view host = authority, port;
  bool has_port = false;
  if (authority.starts_with('[')) {
    // An IPv6 literal, bracketed as URIs write it so that its colons are
    // not taken for the port's.
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return Wrong(why, kBracketsHint);
    host = authority.substr(1, close - 1);
    in6_addr literal;
    if (host.size() >= sizeof address.host) return Wrong(why, kBracketsHint);
    memcpy(address.host, host.data(), host.size());
    if (inet_pton(AF_INET6, address.host, &literal) != 1) {
      return Wrong(why, kBracketsHint);
    }
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) {
      return Wrong(why, kBracketsHint);
    }
    has_port = !after.empty();
    if (has_port) port = after.substr(1);
  } else if (const size_t colon = authority.find(':');
             colon != std::string_view::npos) {
    if (authority.find(':', colon + 1) != std::string_view::npos) {
      return Wrong(why,
                   "an IPv6 address needs brackets, as in gpsd://[::1]:2947");
    }
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    has_port = true;
  }
  unsigned number = 0;
  for (const char digit : port) {
    number = digit >= '0' && digit <= '9' && number <= 65535
                 ? number * 10 + (digit - '0')
                 : 65536;
  }
  if (has_port && (number < 1 || number > 65535)) {
    return Wrong(why, "the port must be a number from 1 to 65535");
  }
  if (host.empty()) host = kGpsdDefaultHost;
  if (host.size() >= sizeof address.host) {
    return Wrong(why, "the host name is too long");
  }
  if (device.size() >= sizeof address.device) {
    return Wrong(why, "the device path is too long");
  }
  address = GpsdAddress();
  memcpy(address.host, host.data(), host.size());
  if (has_port) {
    snprintf(address.port, sizeof address.port, "%u", number);
  } else {
    snprintf(address.port, sizeof address.port, "%s", kGpsdDefaultPort);
  }
  if (!device.empty()) memcpy(address.device, device.data(), device.size());
  return 0;
}

bool IsGpsdName(const char* device) {
  // URI schemes are case-insensitive: GPSD:// is gpsd's name too.
  return device != nullptr &&
         strncasecmp(device, kGpsdScheme, strlen(kGpsdScheme)) == 0;
}

