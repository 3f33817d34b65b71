#include "avahi_check.h"

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>

bool AvahiDaemonAnswers() {
  AvahiSimplePoll* poll = avahi_simple_poll_new();
  if (poll == nullptr) return false;
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL the client fails at once when no daemon
  // is registered on the bus (or there is no bus).
  AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0),
                                         nullptr, nullptr, &error);
  bool answers = client != nullptr;
  if (client != nullptr) avahi_client_free(client);
  avahi_simple_poll_free(poll);
  return answers;
}
