// Whether an Avahi daemon answers on the system bus. PAPPL 1.3.1's own
// DNS-SD device listing asserts and aborts the whole process when none
// does, so the application keeps PAPPL's built-in schemes only where one
// answers.
#ifndef NETBACKEND_APP_AVAHI_CHECK_H_
#define NETBACKEND_APP_AVAHI_CHECK_H_

// Connects an Avahi client the way PAPPL's listing would, and lets it go.
bool AvahiDaemonAnswers();

#endif  // NETBACKEND_APP_AVAHI_CHECK_H_
