#include "access_policy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {

const char kBasic[] = "Basic ";
const char kRoot[] = "root";
// Room for one password or group entry; a group of many members needs more
// than the usual 1 KiB.
const size_t kLookupBytes = 64 * 1024;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: only the alphabet, then up to two '=' that end the value.
bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  unsigned bits = 0;
  int count = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] != '='; ++i) {
    int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  size_t padding = text.size() - i;
  if (padding > 2 || text.find_first_not_of('=', i) != std::string::npos) return false;
  return (text.size() % 4 == 0 || padding == 0) && count < 6;
}

struct Identity {
  bool known = false;  // authenticated: by the kernel (socket) or a password
  bool admin = false;
  std::string user;
};

// Who the requester is, by the strongest means the connection offers.
// Returns 0 when that is settled, else the status that ends the request.
int Identify(const Requester& who, const AccessRules& rules, Identity& id) {
  if (who.transport == Requester::kLocalSocket) {
    id.known = true;
    id.user = rules.userName(who.peerUid);
    id.admin = who.peerUid == 0 || who.peerUid == rules.serverUid ||
               (!id.user.empty() && rules.isMember(id.user, rules.adminGroup));
    return 0;
  }
  if (who.authorization.empty()) return 0;
  // A password from another host in clear is not looked at: it must not be
  // the way to manage, or it would cross every network on the way.
  if (who.transport == Requester::kRemote && !who.encrypted) return kUpgradeRequired;
  std::string user, password;
  if (!ParseBasicCredentials(who.authorization, user, password) || user.empty() ||
      !rules.checkPassword || !rules.checkPassword(user, password))
    return kUnauthorized;
  id.known = true;
  id.user = user;
  id.admin = user == kRoot || rules.isMember(user, rules.adminGroup);
  return 0;
}

// The answer to one who must log in first.
int LoginNeeded(const Requester& who) {
  return who.transport == Requester::kRemote && !who.encrypted ? kUpgradeRequired : kUnauthorized;
}

}  // namespace

bool AccessRules::IsGroupMember(const std::string& user, const std::string& group) {
  if (user.empty() || group.empty()) return false;
  // The reentrant lookups: the server asks from many threads at once.
  std::vector<char> buffer(kLookupBytes);
  struct group groupEntry, *found = nullptr;
  if (getgrnam_r(group.c_str(), &groupEntry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  gid_t wanted = found->gr_gid;
  struct passwd account, *known = nullptr;
  if (getpwnam_r(user.c_str(), &account, buffer.data(), buffer.size(), &known) != 0 ||
      known == nullptr)
    return false;
  if (account.pw_gid == wanted) return true;
  // getgrouplist answers -1 when the list is longer than the room given,
  // and says how long it is.
  std::vector<gid_t> groups(32);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(user.c_str(), account.pw_gid, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size())) return false;
    groups.resize(static_cast<size_t>(count));
  }
  for (int i = 0; i < count; ++i)
    if (groups[static_cast<size_t>(i)] == wanted) return true;
  return false;
}

std::string AccessRules::UserName(uid_t uid) {
  std::vector<char> buffer(kLookupBytes);
  struct passwd account, *known = nullptr;
  if (getpwuid_r(uid, &account, buffer.data(), buffer.size(), &known) != 0 || known == nullptr ||
      account.pw_name == nullptr)
    return "";
  return account.pw_name;
}

bool ParseBasicCredentials(const std::string& field, std::string& user, std::string& password) {
  if (field.compare(0, sizeof(kBasic) - 1, kBasic) != 0) return false;
  size_t start = field.find_first_not_of(' ', sizeof(kBasic) - 1);
  std::string decoded;
  if (start == std::string::npos || !DecodeBase64(field.substr(start), decoded)) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string::npos || decoded.find('\0') != std::string::npos) return false;
  user = decoded.substr(0, colon);
  password = decoded.substr(colon + 1);
  return true;
}

Access NeededAccess(bool allowRemote, const std::string& group, const std::string& adminGroup,
                    bool hasJob) {
  if (allowRemote && (group.empty() || group != adminGroup)) return Access::kPrint;
  return allowRemote && hasJob ? Access::kOwner : Access::kAdmin;
}

AccessVerdict Decide(Access need, const Requester& who, const std::string& jobOwner,
                     const AccessRules& rules) {
  AccessVerdict verdict;
  // Printing asks no password: a client's stale or wrong one must not stop
  // a job. Only the socket's peer is known for the job's owner.
  if (need == Access::kPrint && rules.printGroup.empty()) {
    verdict.status = kAllowed;
    if (who.transport == Requester::kLocalSocket) verdict.user = rules.userName(who.peerUid);
    return verdict;
  }
  Identity id;
  if (int refused = Identify(who, rules, id)) {
    verdict.status = refused;
    return verdict;
  }
  verdict.user = id.user;
  bool allowed = false;
  switch (need) {
    case Access::kPrint:
      allowed = rules.printGroup.empty() ||
                (id.known && (id.admin || rules.isMember(id.user, rules.printGroup)));
      break;
    case Access::kOwner:
      // Without a login a client is whom it says it is, as for any
      // printer on the network; a login or the socket says better.
      allowed = id.admin || (!jobOwner.empty() &&
                             (id.known ? id.user == jobOwner : who.claimedUser == jobOwner));
      break;
    case Access::kAdmin:
      allowed = id.admin;
      break;
  }
  verdict.status = allowed ? kAllowed : id.known ? kForbidden : LoginNeeded(who);
  return verdict;
}
