#include "pam_login.h"

#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Answers {
  const char* user;
  const char* password;
};

// Answers PAM's prompts: the name where it echoes, the password where it
// does not. PAM frees what it is given.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  const Answers* answers = static_cast<const Answers*>(data);
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  pam_response* replies =
      static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* text = nullptr;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) text = answers->user;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) text = answers->password;
    replies[i].resp = text != nullptr ? strdup(text) : nullptr;
  }
  *responses = replies;
  return PAM_SUCCESS;
}

}  // namespace

bool CheckPamPassword(const std::string& service, const std::string& user,
                      const std::string& password, const char* confdir) {
  if (service.empty() || user.empty()) return false;
  Answers answers = {user.c_str(), password.c_str()};
  pam_conv conversation = {Converse, &answers};
  pam_handle_t* handle = nullptr;
  int status = pam_start_confdir(service.c_str(), user.c_str(), &conversation, confdir, &handle);
  if (status == PAM_SUCCESS)
    status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (handle != nullptr) pam_end(handle, status);
  return status == PAM_SUCCESS;
}
