// Who may do what, as a table: each row a requester, what it asks for and
// the answer, with users, groups and passwords the test makes up.
#include "access_policy.h"

#include <gtest/gtest.h>

namespace {

// alice administers (lpadmin), bob prints; both have the password "pw".
AccessRules Rules() {
  AccessRules rules;
  rules.serverUid = 500;
  rules.checkPassword = [](const std::string& user, const std::string& password) {
    return (user == "alice" || user == "bob" || user == "root") && password == "pw";
  };
  rules.isMember = [](const std::string& user, const std::string& group) {
    return (group == "lpadmin" && user == "alice") || (group == "printing" && user == "bob");
  };
  rules.userName = [](uid_t uid) -> std::string {
    return uid == 0 ? "root" : uid == 1000 ? "alice" : uid == 1001 ? "bob" : "";
  };
  return rules;
}

// Basic credentials for user:password.
std::string Basic(const std::string& encoded) { return "Basic " + encoded; }
const std::string kAlice = Basic("YWxpY2U6cHc=");       // alice:pw
const std::string kBob = Basic("Ym9iOnB3");             // bob:pw
const std::string kAliceWrong = Basic("YWxpY2U6eHg=");  // alice:xx

Requester Socket(uid_t uid) {
  Requester who;
  who.transport = Requester::kLocalSocket;
  who.peerUid = uid;
  return who;
}

Requester Tcp(Requester::Transport transport, bool tls, std::string authorization,
              std::string claimed = "") {
  Requester who;
  who.transport = transport;
  who.encrypted = tls;
  who.authorization = std::move(authorization);
  who.claimedUser = std::move(claimed);
  return who;
}

}  // namespace

TEST(AccessPolicy, DecidesByWhoAsksAndHow) {
  const Requester::Transport kLoop = Requester::kLoopback, kFar = Requester::kRemote;
  struct Row {
    Access need;
    Requester who;
    std::string owner;
    int status;
    std::string user;
    const char* why;
  } rows[] = {
      {Access::kPrint, Tcp(kFar, false, ""), "", kAllowed, "", "anyone prints"},
      {Access::kPrint, Tcp(kFar, false, kAliceWrong), "", kAllowed, "",
       "printing asks no password"},
      {Access::kAdmin, Socket(0), "", kAllowed, "root", "root on the socket"},
      {Access::kAdmin, Socket(500), "", kAllowed, "", "the server's own user"},
      {Access::kAdmin, Socket(1000), "", kAllowed, "alice", "an admin on the socket"},
      {Access::kAdmin, Socket(1001), "", kForbidden, "bob", "another user on the socket"},
      {Access::kAdmin, Tcp(kLoop, false, ""), "", kUnauthorized, "", "loopback: log in first"},
      {Access::kAdmin, Tcp(kLoop, false, kAlice), "", kAllowed, "alice", "an admin's login"},
      {Access::kAdmin, Tcp(kLoop, false, kAliceWrong), "", kUnauthorized, "", "a wrong password"},
      {Access::kAdmin, Tcp(kLoop, false, kBob), "", kForbidden, "bob", "a login of no admin"},
      {Access::kAdmin, Tcp(kLoop, false, Basic("Zm9v")), "", kUnauthorized, "", "no colon"},
      {Access::kAdmin, Tcp(kLoop, false, "Digest x"), "", kUnauthorized, "", "another scheme"},
      {Access::kAdmin, Tcp(kFar, false, ""), "", kUpgradeRequired, "", "from afar: TLS first"},
      {Access::kAdmin, Tcp(kFar, false, kAlice), "", kUpgradeRequired, "", "a password in clear"},
      {Access::kAdmin, Tcp(kFar, true, kAlice), "", kAllowed, "alice", "a login over TLS"},
      {Access::kOwner, Tcp(kFar, false, "", "carol"), "carol", kAllowed, "", "the owner by name"},
      {Access::kOwner, Tcp(kFar, false, "", "mallory"), "carol", kUpgradeRequired, "",
       "another name from afar"},
      {Access::kOwner, Tcp(kLoop, false, "", "mallory"), "carol", kUnauthorized, "",
       "another name on loopback"},
      {Access::kOwner, Tcp(kLoop, false, "", ""), "", kUnauthorized, "", "no owner, no name"},
      {Access::kOwner, Tcp(kLoop, false, kBob, "carol"), "carol", kForbidden, "bob",
       "a login outweighs the name"},
      {Access::kOwner, Tcp(kLoop, false, kAlice), "carol", kAllowed, "alice", "an admin's job"},
      {Access::kOwner, Socket(1001), "bob", kAllowed, "bob", "the owner on the socket"},
      {Access::kOwner, Socket(1001), "carol", kForbidden, "bob", "not the socket user's job"},
  };
  for (const Row& row : rows) {
    AccessVerdict verdict = Decide(row.need, row.who, row.owner, Rules());
    EXPECT_EQ(verdict.status, row.status) << row.why;
    EXPECT_EQ(verdict.user, row.user) << row.why;
  }
  // With a print group, printing takes a login of a member.
  AccessRules group = Rules();
  group.printGroup = "printing";
  EXPECT_EQ(Decide(Access::kPrint, Tcp(kLoop, false, ""), "", group).status, kUnauthorized);
  EXPECT_EQ(Decide(Access::kPrint, Tcp(kLoop, false, kBob), "", group).status, kAllowed);
  EXPECT_EQ(Decide(Access::kPrint, Tcp(kLoop, false, kAlice), "", group).status, kAllowed);
  EXPECT_EQ(Decide(Access::kPrint, Socket(1002), "", group).status, kForbidden);
}

TEST(AccessPolicy, BasicCredentialsAreReadStrictly) {
  struct Row {
    const char* field;
    bool ok;
    const char* user;
    const char* password;
  } rows[] = {
      {"Basic YWxpY2U6cHc=", true, "alice", "pw"},
      {"Basic  YWxpY2U6cDpx", true, "alice", "p:q"},  // the first colon splits
      {"Basic OnB3", true, "", "pw"},
      {"Basic YWxpY2U6cHc", true, "alice", "pw"},  // padding left out
      {"Basic dTpZU3AwazBn", true, "u", "YSp0k0g"},  // the alphabet's ends: A Z a z
      {"Basic dTo/cHB3Z09+", true, "u", "?ppwgO~"},  // 0 9 + /
      {"Basic YQ==", false, "", ""},               // no colon
      {"Basic YWxp!2U6cHc=", false, "", ""},       // not the alphabet
      {"Basic YWxpY2U6cHc===", false, "", ""},
      {"Basic YQBiOmM=", false, "", ""},  // a zero byte
      {"basic YWxpY2U6cHc=", false, "", ""},
      {"Basic ", false, "", ""},
  };
  for (const Row& row : rows) {
    std::string user, password;
    EXPECT_EQ(ParseBasicCredentials(row.field, user, password), row.ok) << row.field;
    if (row.ok) {
      EXPECT_EQ(user, row.user) << row.field;
      EXPECT_EQ(password, row.password) << row.field;
    }
  }
}

// The real lookups: root is in its own group and in no made-up one.
TEST(AccessPolicy, TheSystemsGroupsAreLookedUp) {
  EXPECT_EQ(AccessRules::UserName(0), "root");
  EXPECT_TRUE(AccessRules::IsGroupMember("root", "root"));
  EXPECT_FALSE(AccessRules::IsGroupMember("root", "no-such-group-here"));
  EXPECT_FALSE(AccessRules::IsGroupMember("no-such-user-here", "root"));
}

// What PAPPL's calls for a group come to.
TEST(AccessPolicy, WhatAGroupAsksFor) {
  EXPECT_EQ(NeededAccess(true, "", "lpadmin", false), Access::kPrint);
  EXPECT_EQ(NeededAccess(true, "", "", true), Access::kPrint);
  EXPECT_EQ(NeededAccess(true, "printing", "lpadmin", true), Access::kPrint);
  EXPECT_EQ(NeededAccess(true, "lpadmin", "lpadmin", true), Access::kOwner);
  EXPECT_EQ(NeededAccess(true, "lpadmin", "lpadmin", false), Access::kAdmin);
  EXPECT_EQ(NeededAccess(false, "lpadmin", "lpadmin", true), Access::kAdmin);
  EXPECT_EQ(NeededAccess(false, "", "lpadmin", false), Access::kAdmin);
}
