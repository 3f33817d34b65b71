#include "pappl_hooks.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <netdb.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "host_names.h"
#include "request_rules.h"

namespace {

// The library whose calls must reach the program's definitions.
const char kPapplLibrary[] = "libpappl.so";
// A client that sends nothing for this long is dropped, and the document
// it was sending aborted: it must not hold a printer for as long as it
// stays connected.
const double kClientSilentSeconds = 60;

struct Hooks {
  std::atomic<bool> on{false};
  HookSettings settings;
  HostIdentityCache host;
};
Hooks& State() {
  static Hooks* hooks = new Hooks;  // never destroyed: client threads outlive main
  return *hooks;
}
bool On() { return State().on.load(std::memory_order_acquire); }

// The library's own definition of `name`, found past the program's.
template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The document read of this thread that timed out, if any.
thread_local http_t* tTimedOut = nullptr;

int ClientTimedOut(http_t* http, void*) {
  tTimedOut = http;
  return 0;  // give up the read
}

thread_local cups_page_header2_t tLastHeader;
thread_local bool tHaveHeader = false;

// --- who the client is ---

Requester RequesterOf(pappl_client_t* client) {
  Requester who;
  http_t* http = papplClientGetHTTP(client);
  http_addr_t* address = httpGetAddress(http);
  who.encrypted = httpIsEncrypted(http) != 0;
  if (address != nullptr && httpAddrFamily(address) == AF_LOCAL) {
    who.transport = Requester::kLocalSocket;
    ucred peer;
    socklen_t size = sizeof peer;
    if (getsockopt(httpGetFd(http), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
      who.peerUid = peer.uid;
  } else {
    who.transport = address != nullptr && httpAddrLocalhost(address) ? Requester::kLoopback
                                                                     : Requester::kRemote;
  }
  who.authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* claimed = request != nullptr
                                 ? ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME)
                                 : nullptr;
  if (claimed != nullptr) who.claimedUser = ippGetString(claimed, 0, nullptr);
  return who;
}

// --- the rules that run before PAPPL's handlers ---

// Whether `uri` names this host as where a job would go (a socket or SNMP
// device at a loopback or own address). Our own schemes name printers by
// MAC address, and their job-time rule refuses this host; a DNS-SD name is
// resolved when it is opened, where the connect hook refuses it.
bool NamesThisHost(const char* uri) {
  std::string host = uri != nullptr ? DeviceTargetHost(uri) : "";
  if (host.empty()) return false;
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool local = false;
  for (addrinfo* a = found; a != nullptr && !local; a = a->ai_next)
    local = State().host.IsThisHost(a->ai_addr);
  freeaddrinfo(found);
  return local;
}

const char kNotThisHost[] =
    "A printer's device may not be this host: the URI \"%s\" names one of its own addresses";

// Create-Printer with a device on this host is refused, once the client
// may create printers at all (PAPPL refuses the others itself).
bool RefuseOwnDevice(pappl_client_t* client) {
  if (papplClientGetOperation(client) != IPP_OP_CREATE_PRINTER) return false;
  ipp_attribute_t* uri =
      ippFindAttribute(papplClientGetRequest(client), "smi55357-device-uri", IPP_TAG_URI);
  if (uri == nullptr || !NamesThisHost(ippGetString(uri, 0, nullptr))) return false;
  if (papplClientIsAuthorized(client) != HTTP_STATUS_CONTINUE) return false;
  // The value listed as unsupported first: that sets a message of its own.
  papplClientRespondIPPUnsupported(client, uri);
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, kNotThisHost,
                        ippGetString(uri, 0, nullptr));
  return true;
}

// Operations PAPPL lets anyone perform that need an administrator.
bool RefuseUnlessAdministrator(pappl_client_t* client) {
  if (!NeedsAdministrator(papplClientGetOperation(client))) return false;
  http_status_t status = papplClientIsAuthorized(client);
  if (status == HTTP_STATUS_CONTINUE) return false;
  papplClientRespond(client, status, nullptr, nullptr, 0, 0);
  return true;
}

// PAPPL compares document formats as they are written; the client may
// write them in any case.
void LowerCaseDocumentFormat(pappl_client_t* client) {
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* format = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
  if (format == nullptr || ippGetCount(format) != 1) return;
  const char* value = ippGetString(format, 0, nullptr);
  if (value == nullptr) return;
  std::string lower = LowerCaseFormat(value);
  if (lower != value) ippSetString(request, &format, 0, lower.c_str());
}

// PAPPL 1.3.1 answers a document in a format the printer does not list
// with "successful-ok" and aborts the job afterwards: its own check looks
// for the formats in an attribute set that never holds them.
bool RefuseUnlistedFormat(pappl_client_t* client) {
  ipp_op_t operation = papplClientGetOperation(client);
  if (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT &&
      operation != IPP_OP_VALIDATE_JOB)
    return false;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  ipp_attribute_t* format =
      ippFindAttribute(papplClientGetRequest(client), "document-format", IPP_TAG_ZERO);
  if (printer == nullptr || format == nullptr || ippGetValueTag(format) != IPP_TAG_MIMETYPE ||
      ippGetCount(format) != 1 || ippGetString(format, 0, nullptr) == nullptr)
    return false;
  const char* value = ippGetString(format, 0, nullptr);
  std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                     ippDelete);
  ipp_attribute_t* supported =
      ippFindAttribute(attrs.get(), "document-format-supported", IPP_TAG_MIMETYPE);
  std::vector<std::string> listed;
  for (int i = 0; i < ippGetCount(supported); ++i)
    listed.push_back(ippGetString(supported, i, nullptr));
  if (supported == nullptr || IsListedFormat(value, listed)) return false;
  // Listing the value as unsupported sets the general status of an
  // unsupported value and a message of its own; the client must see the
  // precise status, and the message that says which format.
  papplClientRespondIPPUnsupported(client, format);
  papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                        "Document format \"%s\" is not supported by this printer", value);
  ippSetStatusCode(papplClientGetResponse(client), IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED);
  return true;
}

bool Before(pappl_client_t* client) {
  if (RefuseUnlessAdministrator(client)) return true;
  LowerCaseDocumentFormat(client);
  return RefuseUnlistedFormat(client);
}

// --- what happens after PAPPL's handlers ---

// A job PAPPL has just received is on the disk, with the state that lists
// it, before the client hears that it was accepted: a crash or a power cut
// after that must not lose it.
void MakeJobDurable(pappl_client_t* client) {
  ipp_op_t operation = papplClientGetOperation(client);
  if (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT &&
      operation != IPP_OP_CREATE_JOB)
    return;
  ipp_t* response = papplClientGetResponse(client);
  if (response == nullptr || ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE) return;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  pappl_job_t* job = printer != nullptr && id > 0 ? papplPrinterFindJob(printer, id) : nullptr;
  if (job != nullptr && State().settings.jobAccepted) State().settings.jobAccepted(job);
}

// PAPPL reports a failed write of the document with errno's text, which a
// short write to a full disk leaves at "Success".
void ExplainFullSpool(pappl_client_t* client) {
  ipp_t* response = papplClientGetResponse(client);
  if (response == nullptr || ippGetStatusCode(response) != IPP_STATUS_ERROR_INTERNAL) return;
  ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
  const char* text = message != nullptr ? ippGetString(message, 0, nullptr) : nullptr;
  std::string mended = text != nullptr ? MendedSpoolMessage(text) : "";
  if (!mended.empty()) ippSetString(response, &message, 0, mended.c_str());
}

// PAPPL 1.3.1 gives a printer created while it runs the printer-id 0 in
// what it answers, which its own command line then takes for a missing
// printer ("delete" fails).
void RepairPrinterId(pappl_client_t* client) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  ipp_t* response = papplClientGetResponse(client);
  if (printer == nullptr || response == nullptr ||
      papplClientGetOperation(client) != IPP_OP_GET_PRINTER_ATTRIBUTES)
    return;
  ipp_attribute_t* id = ippFindAttribute(response, "printer-id", IPP_TAG_INTEGER);
  if (id != nullptr && ippGetInteger(id, 0) == 0)
    ippSetInteger(response, &id, 0, papplPrinterGetID(printer));
}

// PAPPL 1.3.1 stores printer-location, printer-organization and
// printer-organizational-unit as the geo-location: they are set here, and
// the geo-location put back, after PAPPL has checked the request.
struct Description {
  std::string geo;
};

Description BeforeSettingAttributes(pappl_client_t* client) {
  Description before;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  char geo[1024] = "";
  if (printer != nullptr && papplClientGetOperation(client) == IPP_OP_SET_PRINTER_ATTRIBUTES &&
      papplPrinterGetGeoLocation(printer, geo, sizeof geo) != nullptr)
    before.geo = geo;
  return before;
}

void RepairDescription(pappl_client_t* client, const Description& before) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  ipp_t* request = papplClientGetRequest(client);
  ipp_t* response = papplClientGetResponse(client);
  if (printer == nullptr || papplClientGetOperation(client) != IPP_OP_SET_PRINTER_ATTRIBUTES ||
      response == nullptr || ippGetStatusCode(response) != IPP_STATUS_OK)
    return;
  auto text = [&](const char* name) -> const char* {
    ipp_attribute_t* attr = ippFindAttribute(request, name, IPP_TAG_TEXT);
    return attr != nullptr && ippGetGroupTag(attr) == IPP_TAG_PRINTER
               ? ippGetString(attr, 0, nullptr)
               : nullptr;
  };
  const char* location = text("printer-location");
  const char* organization = text("printer-organization");
  const char* unit = text("printer-organizational-unit");
  if (unit == nullptr) unit = text("printer-organization-unit");
  if (location == nullptr && organization == nullptr && unit == nullptr) return;
  ipp_attribute_t* geo = ippFindAttribute(request, "printer-geo-location", IPP_TAG_URI);
  papplPrinterSetGeoLocation(printer, geo != nullptr
                                          ? ippGetString(geo, 0, nullptr)
                                          : (before.geo.empty() ? nullptr : before.geo.c_str()));
  if (location != nullptr) papplPrinterSetLocation(printer, location);
  if (organization != nullptr) papplPrinterSetOrganization(printer, organization);
  if (unit != nullptr) papplPrinterSetOrganizationalUnit(printer, unit);
}

void After(pappl_client_t* client) {
  MakeJobDurable(client);
  ExplainFullSpool(client);
  RepairPrinterId(client);
}

typedef void (*ProcessIpp)(pappl_client_t* client);

void Dispatch(pappl_client_t* client, ProcessIpp next, bool (*before)(pappl_client_t*)) {
  if (On() && before(client)) return;
  if (next == nullptr) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "The request cannot be handled");
    return;
  }
  Description described = BeforeSettingAttributes(client);
  next(client);
  if (!On()) return;
  After(client);
  RepairDescription(client, described);
}

// --- the order jobs print in ---

// One job thread at a time prints on a printer: PAPPL marks the job it
// starts only once that job's thread runs, and two starts in a row (a job
// received while another begins) would print two jobs at once on one
// device, their bytes mixed.
std::mutex gPrintersMutex;
std::map<pappl_printer_t*, std::unique_ptr<std::mutex>> gPrinting;

std::mutex& PrintingOn(pappl_printer_t* printer) {
  std::lock_guard<std::mutex> lock(gPrintersMutex);
  std::unique_ptr<std::mutex>& one = gPrinting[printer];
  if (!one) one.reset(new std::mutex);
  return *one;
}

void FindOldestPending(pappl_job_t* job, void* data) {
  pappl_job_t** oldest = static_cast<pappl_job_t**>(data);
  if (papplJobGetState(job) != IPP_JSTATE_PENDING) return;
  if (*oldest == nullptr || papplJobGetID(job) < papplJobGetID(*oldest)) *oldest = job;
}

// --- the start-time check ---

struct Binding {
  const char* name;
  void* ours;
};

// The relocation of `name` among `count` entries at `table`, if any.
template <typename Entry>
const Entry* FindRelocation(ElfW(Addr) table, size_t bytes, const ElfW(Sym) * symbols,
                            const char* strings, const char* name) {
  const Entry* entries = reinterpret_cast<const Entry*>(table);
  for (size_t n = 0; table != 0 && n < bytes / sizeof(Entry); ++n) {
#if __ELF_NATIVE_CLASS == 64
    size_t index = ELF64_R_SYM(entries[n].r_info);
#else
    size_t index = ELF32_R_SYM(entries[n].r_info);
#endif
    if (index != 0 && strcmp(strings + symbols[index].st_name, name) == 0) return entries + n;
  }
  return nullptr;
}

// Where the GOT entry of `name` in the object at `info` points; null when
// the object has no relocation for it. The objects are bound at load
// (BIND_NOW), so the entry holds the function every call goes to.
void* BoundAddress(const dl_phdr_info* info, const char* name) {
  const ElfW(Dyn)* dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
  if (dynamic == nullptr) return nullptr;
  // The loader relocates these entries in place on most systems; an entry
  // left as a link-time address is below the object's base.
  auto at = [&](ElfW(Addr) value) {
    return value < info->dlpi_addr ? info->dlpi_addr + value : value;
  };
  ElfW(Addr) symtab = 0, strtab = 0, jmprel = 0, rela = 0, rel = 0;
  size_t pltsize = 0, relasize = 0, relsize = 0;
  bool pltRela = true;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB:
        symtab = at(d->d_un.d_ptr);
        break;
      case DT_STRTAB:
        strtab = at(d->d_un.d_ptr);
        break;
      case DT_JMPREL:
        jmprel = at(d->d_un.d_ptr);
        break;
      case DT_PLTRELSZ:
        pltsize = d->d_un.d_val;
        break;
      case DT_PLTREL:
        pltRela = d->d_un.d_val == DT_RELA;
        break;
      case DT_RELA:
        rela = at(d->d_un.d_ptr);
        break;
      case DT_RELASZ:
        relasize = d->d_un.d_val;
        break;
      case DT_REL:
        rel = at(d->d_un.d_ptr);
        break;
      case DT_RELSZ:
        relsize = d->d_un.d_val;
        break;
    }
  }
  if (symtab == 0 || strtab == 0) return nullptr;
  const ElfW(Sym)* symbols = reinterpret_cast<const ElfW(Sym)*>(symtab);
  const char* strings = reinterpret_cast<const char*>(strtab);
  ElfW(Addr) offset = 0;
  const ElfW(Rela)* a =
      pltRela ? FindRelocation<ElfW(Rela)>(jmprel, pltsize, symbols, strings, name) : nullptr;
  const ElfW(Rel)* b =
      pltRela ? nullptr : FindRelocation<ElfW(Rel)>(jmprel, pltsize, symbols, strings, name);
  if (a == nullptr && b == nullptr)
    a = FindRelocation<ElfW(Rela)>(rela, relasize, symbols, strings, name);
  if (a == nullptr && b == nullptr)
    b = FindRelocation<ElfW(Rel)>(rel, relsize, symbols, strings, name);
  if (a != nullptr) offset = a->r_offset;
  if (b != nullptr) offset = b->r_offset;
  return offset != 0 ? *reinterpret_cast<void**>(info->dlpi_addr + offset) : nullptr;
}

struct CheckRun {
  const Binding* bindings = nullptr;
  size_t count = 0;
  bool found = false;
  std::string problem;
};

int CheckObject(dl_phdr_info* info, size_t, void* data) {
  CheckRun* run = static_cast<CheckRun*>(data);
  if (info->dlpi_name == nullptr || strstr(info->dlpi_name, kPapplLibrary) == nullptr) return 0;
  run->found = true;
  for (size_t i = 0; i < run->count && run->problem.empty(); ++i) {
    void* bound = BoundAddress(info, run->bindings[i].name);
    if (bound != run->bindings[i].ours)
      run->problem =
          std::string(info->dlpi_name) + " does not call this program's " + run->bindings[i].name;
  }
  return 1;
}

}  // namespace

// --- the hooks ---

// PAPPL hands each IPP request for a printer, for one of its jobs, or for
// the system to these functions of its own.
extern "C" void _papplPrinterProcessIPP(pappl_client_t* client) {
  static const ProcessIpp next = Next<ProcessIpp>("_papplPrinterProcessIPP");
  Dispatch(client, next, Before);
}

extern "C" void _papplJobProcessIPP(pappl_client_t* client) {
  static const ProcessIpp next = Next<ProcessIpp>("_papplJobProcessIPP");
  Dispatch(client, next, Before);
}

extern "C" void _papplSystemProcessIPP(pappl_client_t* client) {
  static const ProcessIpp next = Next<ProcessIpp>("_papplSystemProcessIPP");
  Dispatch(client, next, RefuseOwnDevice);
}

// Every authorization PAPPL 1.3.1 makes comes here. Its own lets every
// local user and, through the web pages, every host manage; takes any
// password for its web password; refuses the members of the admin group
// it checks for; and wants TLS from another host even to print.
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allow_remote,
                                                          const char* group, gid_t) {
  return AuthorizeClient(client, allow_remote, group);
}

// The web forms' token: PAPPL's depends on the client's address alone, so
// that a page under another name the browser was led to (a rebound name)
// could read it and post a form. Ours is bound to the login and to the
// name the request was sent to as well.
extern "C" char* papplClientGetCSRFToken(pappl_client_t* client, char* buffer, size_t bufsize) {
  if (client == nullptr || buffer == nullptr || bufsize < 65) {
    if (buffer != nullptr && bufsize > 0) *buffer = '\0';
    return nullptr;
  }
  char key[65] = "", peer[256] = "";
  papplSystemGetSessionKey(papplClientGetSystem(client), key, sizeof key);
  httpGetHostname(papplClientGetHTTP(client), peer, sizeof peer);
  const char* user = papplClientGetUsername(client);
  const char* host = papplClientGetHostName(client);
  std::string data = std::string(key) + ":" + peer + ":" + (user != nullptr ? user : "") + ":" +
                     (host != nullptr ? host : "");
  unsigned char sum[32];
  cupsHashData("sha2-256", data.data(), data.size(), sum, sizeof sum);
  cupsHashString(sum, sizeof sum, buffer, bufsize);
  return buffer;
}

// A request whose Host field names another host is refused before any
// page or operation sees it: PAPPL 1.3.1 takes any name that begins with a
// digit or ends in ".local", which a rebound name does.
extern "C" http_status_t httpUpdate(http_t* http) {
  typedef http_status_t (*Update)(http_t*);
  static const Update next = Next<Update>("httpUpdate");
  http_status_t status = next != nullptr ? next(http) : HTTP_STATUS_ERROR;
  if (status != HTTP_STATUS_OK || !On()) return status;
  const char* host = httpGetField(http, HTTP_FIELD_HOST);
  if (host == nullptr || State().host.IsOwnHostField(host)) return status;
  papplLog(State().settings.system, PAPPL_LOGLEVEL_WARN,
           "Refused a request for Host \"%s\": not a name of this host", host);
  return HTTP_STATUS_BAD_REQUEST;
}

// Every client connection the server accepts gets a bound on silence.
extern "C" http_t* httpAcceptConnection(int fd, int blocking) {
  typedef http_t* (*Accept)(int, int);
  static const Accept next = Next<Accept>("httpAcceptConnection");
  http_t* http = next != nullptr ? next(fd, blocking) : nullptr;
  if (http != nullptr && On()) httpSetTimeout(http, kClientSilentSeconds, ClientTimedOut, nullptr);
  return http;
}

// A document that stops arriving (the client closed, or fell silent past
// the bound) reads as its end in libcups 2.4, and PAPPL 1.3.1 prints what
// came as a complete job: here it is an error, which aborts the job.
extern "C" ssize_t httpRead2(http_t* http, char* buffer, size_t length) {
  typedef ssize_t (*Read)(http_t*, char*, size_t);
  static const Read next = Next<Read>("httpRead2");
  if (next == nullptr) return -1;
  http_state_t state = httpGetState(http);
  bool document = On() && (state == HTTP_STATE_POST_RECV || state == HTTP_STATE_PUT_RECV);
  tTimedOut = nullptr;
  ssize_t n = next(http, buffer, length);
  if (document && DocumentEndedShort(n, httpError(http), tTimedOut == http, true,
                                     static_cast<long long>(httpGetRemaining(http)))) {
    papplLog(State().settings.system, PAPPL_LOGLEVEL_ERROR,
             "A document ended short of its announced length%s",
             tTimedOut == http ? ": the client sent nothing for 60 seconds" : "");
    return -1;
  }
  return n;
}

// Every connection PAPPL's own devices (socket, dnssd, snmp) make: never
// to this host, whatever the name resolved to this time.
extern "C" http_addrlist_t* httpAddrConnect2(http_addrlist_t* list, int* sock, int msec,
                                             int* cancel) {
  typedef http_addrlist_t* (*Connect)(http_addrlist_t*, int*, int, int*);
  static const Connect next = Next<Connect>("httpAddrConnect2");
  if (On()) {
    for (http_addrlist_t* a = list; a != nullptr; a = a->next) {
      if (!State().host.IsThisHost(&a->addr.addr)) continue;
      char text[256];
      papplLog(State().settings.system, PAPPL_LOGLEVEL_ERROR,
               "Refused to connect to %s: a printer's device may not be this host",
               httpAddrString(&a->addr, text, sizeof text));
      if (sock != nullptr) *sock = -1;
      return nullptr;
    }
  }
  return next != nullptr ? next(list, sock, msec, cancel) : nullptr;
}

// Printers added through the web page (the IPP operation is refused
// earlier, with a clearer message): none with a device on this host. The
// printers of a saved state are loaded before the server runs, and stay.
extern "C" pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printer_id,
                                               const char* printer_name, const char* driver_name,
                                               const char* device_id, const char* device_uri) {
  typedef pappl_printer_t* (*Create)(pappl_system_t*, int, const char*, const char*, const char*,
                                     const char*);
  static const Create next = Next<Create>("papplPrinterCreate");
  if (On() && papplSystemIsRunning(system) && NamesThisHost(device_uri)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, kNotThisHost, device_uri);
    errno = EPERM;
    return nullptr;
  }
  return next != nullptr
             ? next(system, printer_id, printer_name, driver_name, device_id, device_uri)
             : nullptr;
}

// PAPPL reads each page header of a job's raster through libcups; a copy
// stays with the thread for the driver (LastRasterHeader).
extern "C" unsigned cupsRasterReadHeader2(cups_raster_t* raster, cups_page_header2_t* header) {
  typedef unsigned (*ReadHeader)(cups_raster_t*, cups_page_header2_t*);
  static const ReadHeader next = Next<ReadHeader>("cupsRasterReadHeader2");
  unsigned read = next != nullptr ? next(raster, header) : 0;
  tHaveHeader = read != 0;
  if (tHaveHeader) tLastHeader = *header;
  return read;
}

// PAPPL 1.3.1 keeps a printer's active jobs newest first and starts the
// first pending one: jobs that wait print last in, first out, and those a
// restart brings back in reverse. Its job thread begins here; once no other
// job prints on the printer, the thread prints the printer's oldest pending
// job instead, which leaves the newer one pending for the next start.
extern "C" void* _papplJobProcess(pappl_job_t* job) {
  typedef void* (*Process)(pappl_job_t*);
  static const Process next = Next<Process>("_papplJobProcess");
  if (next == nullptr) return nullptr;
  if (!On()) return next(job);
  pappl_printer_t* printer = papplJobGetPrinter(job);
  std::lock_guard<std::mutex> printing(PrintingOn(printer));
  pappl_job_t* oldest = nullptr;
  papplPrinterIterateActiveJobs(printer, FindOldestPending, &oldest, 1, 0);
  return oldest != nullptr ? next(oldest) : nullptr;
}

// --- the interface ---

bool LastRasterHeader(cups_page_header2_t& header) {
  if (!tHaveHeader) return false;
  header = tLastHeader;
  return true;
}

http_status_t AuthorizeClient(pappl_client_t* client, bool allowRemote, const char* group) {
  if (client == nullptr) return HTTP_STATUS_BAD_REQUEST;
  const HookSettings& settings = State().settings;
  AccessRules rules = settings.rules;
  // The admin group may have changed on the web page since the start.
  char admin[256] = "";
  if (papplSystemGetAdminGroup(papplClientGetSystem(client), admin, sizeof admin) != nullptr &&
      admin[0] != '\0')
    rules.adminGroup = admin;
  pappl_job_t* job = papplClientGetJob(client);
  Access need =
      NeededAccess(allowRemote, group != nullptr ? group : "", rules.adminGroup, job != nullptr);
  std::string owner;
  if (need == Access::kOwner && papplJobGetUsername(job) != nullptr)
    owner = papplJobGetUsername(job);
  if (need == Access::kPrint) rules.printGroup = group != nullptr ? group : "";
  AccessVerdict verdict = Decide(need, RequesterOf(client), owner, rules);
  if (verdict.status != kAllowed) return static_cast<http_status_t>(verdict.status);
  if (!verdict.user.empty()) papplClientSetUsername(client, verdict.user.c_str());
  return HTTP_STATUS_CONTINUE;
}

http_status_t AuthorizeCallback(pappl_client_t* client, const char* group, gid_t, void*) {
  return AuthorizeClient(client, false, group);
}

void EnableServerHooks(HookSettings settings) {
  Hooks& hooks = State();
  // The admin group is read from the system at each request.
  hooks.settings = std::move(settings);
  std::vector<std::string> names = hooks.settings.hostNames;
  char host[256] = "";
  if (hooks.settings.system != nullptr &&
      papplSystemGetHostName(hooks.settings.system, host, sizeof host) != nullptr && host[0])
    names.push_back(host);
  hooks.host.SetExtraNames(names);
  hooks.on.store(true, std::memory_order_release);
}

bool CheckHooks(std::string& problem) {
  static const Binding kBindings[] = {
      {"_papplPrinterProcessIPP", reinterpret_cast<void*>(_papplPrinterProcessIPP)},
      {"_papplJobProcessIPP", reinterpret_cast<void*>(_papplJobProcessIPP)},
      {"_papplSystemProcessIPP", reinterpret_cast<void*>(_papplSystemProcessIPP)},
      {"_papplClientIsAuthorizedForGroup",
       reinterpret_cast<void*>(_papplClientIsAuthorizedForGroup)},
      {"papplClientGetCSRFToken", reinterpret_cast<void*>(papplClientGetCSRFToken)},
      {"papplPrinterCreate", reinterpret_cast<void*>(papplPrinterCreate)},
      {"httpUpdate", reinterpret_cast<void*>(httpUpdate)},
      {"httpAcceptConnection", reinterpret_cast<void*>(httpAcceptConnection)},
      {"httpRead2", reinterpret_cast<void*>(httpRead2)},
      {"httpAddrConnect2", reinterpret_cast<void*>(httpAddrConnect2)},
      {"cupsRasterReadHeader2", reinterpret_cast<void*>(cupsRasterReadHeader2)},
      {"_papplJobProcess", reinterpret_cast<void*>(_papplJobProcess)},
  };
  for (const Binding& binding : kBindings) {
    if (dlsym(RTLD_NEXT, binding.name) == nullptr) {
      problem = std::string("the libraries define no ") + binding.name;
      return false;
    }
  }
  CheckRun run;
  run.bindings = kBindings;
  run.count = sizeof kBindings / sizeof kBindings[0];
  dl_iterate_phdr(CheckObject, &run);
  if (!run.found) problem = "libpappl is not loaded";
  if (!run.problem.empty()) problem = run.problem;
  return run.found && run.problem.empty();
}
