// This host's names and addresses, against a made-up identity: which Host
// fields a request may carry, and which addresses a printer may not have.
#include "host_names.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

HostIdentity Host() {
  HostIdentity host;
  host.names = {"localhost", "print.example.org", "print", "print.local", "listen.example.org"};
  host.addresses = {"10.77.0.1", "fe80::1", "2001:db8::5"};
  return host;
}

}  // namespace

TEST(HostNames, OnlyThisHostsNamesPassTheHostField) {
  struct Row {
    const char* field;
    bool own;
  } rows[] = {
      {"", true},  // HTTP/1.0
      {"localhost", true},
      {"localhost:8631", true},
      {"LOCALHOST.:8631", true},
      {"print.example.org", true},
      {"print.local.", true},
      {"listen.example.org:8631", true},
      {"127.0.0.1:8631", true},
      {"127.9.9.9", true},
      {"10.77.0.1:8631", true},
      {"[::1]:8631", true},
      {"[::ffff:127.0.0.1]", true},
      {"[fe80::1%25eth0]:8631", true},
      {"[2001:db8::5]", true},
      {"evil.example", false},
      {"1rebind.evil.example", false},  // begins with a digit
      {"evil.local", false},            // ends in .local
      {"10.77.0.2", false},             // another host's address
      {"[2001:db8::6]:8631", false},
      {"print.example.org:80x", false},
      {"[::1", false},
      {"[::1]x", false},
      {"printer.local", false},
      {"localhost.evil.example", false},
  };
  HostIdentity host = Host();
  for (const Row& row : rows) EXPECT_EQ(IsOwnHostField(row.field, host), row.own) << row.field;
}

TEST(HostNames, LoopbackAndOwnAddressesAreThisHost) {
  HostIdentity host = Host();
  struct Row {
    const char* address;
    bool own;
  } rows[] = {
      {"127.0.0.1", true},         {"127.0.0.2", true},    {"0.0.0.0", true},
      {"10.77.0.1", true},         {"::1", true},          {"::", true},
      {"::ffff:127.0.0.1", true},  {"2001:db8::5", true},  {"10.77.0.2", false},
      {"::ffff:10.77.0.2", false}, {"2001:db8::6", false},
  };
  for (const Row& row : rows) {
    sockaddr_storage storage = {};
    sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, row.address, &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
    } else {
      ASSERT_EQ(inet_pton(AF_INET6, row.address, &v6->sin6_addr), 1) << row.address;
      v6->sin6_family = AF_INET6;
    }
    EXPECT_EQ(IsThisHost(reinterpret_cast<sockaddr*>(&storage), host), row.own) << row.address;
  }
  // The host as it is: its loopback, and "localhost" with a port.
  HostIdentityCache now;
  EXPECT_TRUE(now.IsOwnHostField("localhost:631"));
  EXPECT_FALSE(now.IsOwnHostField("evil.example"));
}
