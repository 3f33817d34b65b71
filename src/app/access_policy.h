// Who may do what in the printer application, as a print server's users
// expect it: anyone who reaches the port prints; managing (printers, the
// system's settings, pause and resume, shutdown, every web page that
// changes something) takes an administrator, that is root or a member of
// the admin group; a job is its owner's or an administrator's. Passwords
// are taken only where they do not cross the network in clear: over the
// loopback interface or TLS. No PAPPL here: the server's authorization
// hook hands each question to Decide.
#ifndef NETBACKEND_APP_ACCESS_POLICY_H_
#define NETBACKEND_APP_ACCESS_POLICY_H_

#include <sys/types.h>

#include <functional>
#include <string>

// What a request needs.
enum class Access {
  kPrint,  // print, and read what the printer shows
  kOwner,  // act on a job: its owner, or an administrator
  kAdmin,  // manage
};

// The requester as the connection shows it.
struct Requester {
  enum Transport { kLocalSocket, kLoopback, kRemote };
  Transport transport = kRemote;
  bool encrypted = false;
  // kLocalSocket: the peer's user, as the kernel tells it.
  uid_t peerUid = static_cast<uid_t>(-1);
  // The request's Authorization field, empty when there is none.
  std::string authorization;
  // requesting-user-name: what an unauthenticated client says it is.
  std::string claimedUser;
};

// What the server is configured with, and how it looks users up (the real
// system's by default; tests put tables in).
struct AccessRules {
  std::string adminGroup = "lpadmin";
  // Printing is open unless a print group is set.
  std::string printGroup;
  // The uid the server runs as: a process of that user may do anything the
  // server can anyway.
  uid_t serverUid = static_cast<uid_t>(-1);
  // Whether `password` is `user`'s (PAM); false when passwords cannot be
  // checked.
  std::function<bool(const std::string& user, const std::string& password)> checkPassword;
  // Whether `user` belongs to `group` (primary or supplementary).
  std::function<bool(const std::string& user, const std::string& group)> isMember = IsGroupMember;
  // The name of a uid; empty when it has none.
  std::function<std::string(uid_t)> userName = UserName;

  static bool IsGroupMember(const std::string& user, const std::string& group);
  static std::string UserName(uid_t uid);
};

struct AccessVerdict {
  // An HTTP status: 100 (Continue: go on), 401 (credentials needed, or
  // wrong), 403 (known, and not allowed), 426 (a password may be sent only
  // over TLS from another host).
  int status = 403;
  // Who the requester turned out to be: the authenticated user, or the
  // socket's peer; empty when not authenticated.
  std::string user;
};

const int kAllowed = 100;
const int kUnauthorized = 401;
const int kForbidden = 403;
const int kUpgradeRequired = 426;

// What PAPPL asks for when it asks for `group`: with `allowRemote` false
// the admin group (papplClientIsAuthorized); else the printer's print
// group, or the admin group once more when a job's owner was not the
// requester (`hasJob`).
Access NeededAccess(bool allowRemote, const std::string& group, const std::string& adminGroup,
                    bool hasJob);

// Whether `who` may do what needs `need`; `jobOwner` is the job's user for
// kOwner.
AccessVerdict Decide(Access need, const Requester& who, const std::string& jobOwner,
                     const AccessRules& rules);

// Splits an Authorization field of the Basic scheme into user and
// password. False for another scheme or a malformed value.
bool ParseBasicCredentials(const std::string& field, std::string& user, std::string& password);

#endif  // NETBACKEND_APP_ACCESS_POLICY_H_
