// Passwords checked by PAM, under the service the server was given
// (-o auth-service), for the administrators' logins to the web interface
// and IPP over TCP. Run as a user other than root, the service needs to
// read the shadow file (the package's unit gives it the group).
#ifndef NETBACKEND_APP_PAM_LOGIN_H_
#define NETBACKEND_APP_PAM_LOGIN_H_

#include <string>

// Whether `password` is `user`'s, and the account may be used now. The
// PAM stack may delay a wrong answer by a couple of seconds; only the
// client's own thread waits. `confdir` names a folder of PAM stacks to
// read instead of the system's (tests give their own); null for the system's.
bool CheckPamPassword(const std::string& service, const std::string& user,
                      const std::string& password, const char* confdir = nullptr);

#endif  // NETBACKEND_APP_PAM_LOGIN_H_
