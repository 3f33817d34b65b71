#include "host_names.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace {

const long long kRereadMs = 1000;

// Lower case, without the one trailing dot a fully qualified name may carry.
std::string Canonical(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string Text(int family, const void* address) {
  char text[INET6_ADDRSTRLEN];
  return inet_ntop(family, address, text, sizeof text) != nullptr ? text : "";
}

bool IsThisIpv4(const in_addr& address, const HostIdentity& host) {
  uint32_t value = ntohl(address.s_addr);
  return (value >> 24) == 127 || value == 0 || Contains(host.addresses, Text(AF_INET, &address));
}

bool IsThisIpv6(const in6_addr& address, const HostIdentity& host) {
  if (IN6_IS_ADDR_LOOPBACK(&address) || IN6_IS_ADDR_UNSPECIFIED(&address)) return true;
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    in_addr v4;
    memcpy(&v4, address.s6_addr + 12, sizeof v4);
    return IsThisIpv4(v4, host);
  }
  return Contains(host.addresses, Text(AF_INET6, &address));
}

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

HostIdentity ReadHostIdentity(const std::vector<std::string>& extraNames) {
  HostIdentity host;
  host.names.push_back("localhost");
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    std::string full = Canonical(name);
    std::string first = full.substr(0, full.find('.'));
    host.names.push_back(full);
    host.names.push_back(first);
    host.names.push_back(first + ".local");
  }
  for (const std::string& extra : extraNames)
    if (!extra.empty()) host.names.push_back(Canonical(extra));
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr) continue;
      if (i->ifa_addr->sa_family == AF_INET)
        host.addresses.push_back(
            Text(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr));
      else if (i->ifa_addr->sa_family == AF_INET6)
        host.addresses.push_back(
            Text(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr));
    }
    freeifaddrs(list);
  }
  return host;
}

bool IsOwnHostField(const std::string& field, const HostIdentity& host) {
  if (field.empty()) return true;
  std::string name;
  if (field[0] == '[') {
    size_t close = field.find(']');
    if (close == std::string::npos) return false;
    std::string rest = field.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || rest.find_first_not_of("0123456789", 1) != rest.npos))
      return false;
    // A zone ("%25eth0") names the interface, not the address.
    name = field.substr(1, close - 1);
    name = name.substr(0, name.find('%'));
  } else {
    size_t colon = field.rfind(':');
    name = field;
    if (colon != std::string::npos && field.find(':') == colon) {
      if (field.find_first_not_of("0123456789", colon + 1) != std::string::npos) return false;
      name = field.substr(0, colon);
    }
  }
  name = Canonical(name);
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return IsThisIpv4(v4, host);
  if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) return IsThisIpv6(v6, host);
  return !name.empty() && Contains(host.names, name);
}

bool IsThisHost(const sockaddr* address, const HostIdentity& host) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET)
    return IsThisIpv4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr, host);
  if (address->sa_family == AF_INET6)
    return IsThisIpv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, host);
  // A local socket is this host by definition.
  return address->sa_family == AF_UNIX;
}

HostIdentityCache::HostIdentityCache(std::vector<std::string> extraNames)
    : extraNames_(std::move(extraNames)) {}

void HostIdentityCache::SetExtraNames(std::vector<std::string> extraNames) {
  std::lock_guard<std::mutex> lock(mutex_);
  extraNames_ = std::move(extraNames);
  readAtMs_ = -1;
}

template <typename Test>
bool HostIdentityCache::Ask(Test test) {
  std::lock_guard<std::mutex> lock(mutex_);
  long long now = NowMs();
  if (readAtMs_ < 0) {
    identity_ = ReadHostIdentity(extraNames_);
    readAtMs_ = now;
  }
  if (test(identity_)) return true;
  if (now - readAtMs_ < kRereadMs) return false;
  identity_ = ReadHostIdentity(extraNames_);
  readAtMs_ = now;
  return test(identity_);
}

bool HostIdentityCache::IsOwnHostField(const std::string& field) {
  return Ask([&](const HostIdentity& host) { return ::IsOwnHostField(field, host); });
}

bool HostIdentityCache::IsThisHost(const sockaddr* address) {
  return Ask([&](const HostIdentity& host) { return ::IsThisHost(address, host); });
}
