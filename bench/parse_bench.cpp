// Times the reply parser on what discovery meets: a printer's typical reply
// (PrinterReply, as the parser's tests build it: about 300 bytes, a dozen
// attributes), a 4096-byte reply full of records with the TXT record last,
// the costliest reply a hostile host can send, and ParseAttribute for each
// key, and the C library's own DNS parser beside ours on the typical reply.
// The aims: a typical reply in at most half the C library's time, with no
// allocation per attribute, so that a network full of printers costs
// discovery nothing next to its 15-second wait; the costliest in under
// 20 us, so that a flood of them cannot keep the program busy.

#include <arpa/nameser.h>
#include <benchmark/benchmark.h>
#include <resolv.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "data_buffer.h"
#include "dns_message.h"
#include "kvt.h"

namespace {

// 4096 bytes: the question and the PTR answer of a printer's reply, then A
// records of other hosts filling the datagram, and the printer's TXT record
// last, so that the walk crosses every record.
std::vector<unsigned char> FullReply(int* records) {
  const int kSize = 4096;
  const int kFillerSize = 9 + 2 + 10 + 4;  // "host-NNN", pointer, fields, address
  Datagram txt;                            // measured apart to know how much room it leaves
  txt.Pointer(0).Txt(kPrinterTxt);

  Datagram m = WithAnswer(0, 0);
  const int room = kSize - m.Offset() - txt.Offset();
  const int fillers = room / kFillerSize;
  for (int i = 0; i < fillers; ++i) {
    const int extra = i + 1 == fillers ? room % kFillerSize : 0;
    char name[16];
    snprintf(name, sizeof(name), "host-%03d", i % 1000);
    m.Label(name).Pointer(kLocalLabel).Fixed(kTypeA, 4 + extra);
    m.Byte(10).Byte(1).Byte(i >> 8).Byte(i);
    m.Byte(0, extra);
  }
  m.Pointer(kInstanceName).Txt(kPrinterTxt);
  *records = 1 + fillers + 1;
  std::vector<unsigned char> bytes = m.bytes();
  bytes[6] = static_cast<unsigned char>(*records >> 8);  // ANCOUNT
  bytes[7] = static_cast<unsigned char>(*records & 0xFF);
  return bytes;
}

// 4096 bytes built to cost a name reader the most: a chain of 500 one-byte
// labels inside a NULL record's data, then as many records as fit, each
// named by a pointer to the chain's start, and the printer's TXT record
// last. A reader that walks every name to its end reads 500 labels a record.
std::vector<unsigned char> DeepNames(int* records) {
  const int kSize = 4096;
  const int kLinks = 500;
  Datagram txt;
  txt.InstanceTxt(kPrinterTxt);
  Datagram m;
  m.Header(kReplyFlags, 0, 0, 0, 0);
  m.Name({"pad"}).Fixed(10, 2 * kLinks + 1);
  const int chain = m.Offset();
  for (int i = 0; i < kLinks; ++i) m.Label("a");
  m.Byte(0);
  *records = 1;
  while (m.Offset() + 12 + txt.Offset() <= kSize) {
    m.Pointer(chain).Fixed(kTypeA, 0);
    ++*records;
  }
  m.Raw(std::string(txt.bytes().begin(), txt.bytes().end()));
  ++*records;
  std::vector<unsigned char> bytes = m.bytes();
  bytes[6] = static_cast<unsigned char>(*records >> 8);  // ANCOUNT
  bytes[7] = static_cast<unsigned char>(*records & 0xFF);
  return bytes;
}

void ParseReplyLoop(benchmark::State& state, const std::vector<unsigned char>& reply) {
  const Discoverer discoverer("t");
  // The buffer of a discovery run: 4096 bytes, the datagram at its start.
  DataBuffer buffer(4096);
  buffer.Assign(reply.data(), static_cast<int>(reply.size()));
  DeviceRecord check;
  if (!discoverer.ParseReply(buffer, check) || check.macAddress() != "80C4A2E691D5" ||
      check.brand() != "Tamo") {
    state.SkipWithError("the reply does not parse as expected");
    return;
  }
  for (auto _ : state) {
    DeviceRecord record;
    bool parsed = discoverer.ParseReply(buffer, record);
    benchmark::DoNotOptimize(parsed);
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(reply.size()));
  state.counters["bytes"] = static_cast<double>(reply.size());
}

// The C library's own DNS parser on the same bytes, as a yardstick: every
// record of the answer and additional sections read with ns_parserr (which
// expands each owner name), and the strings of the first TXT record whose
// second label is "_host-config" split into key and value. Nothing is
// copied, so the figure is a floor for any parser that reads names.
bool PeerParse(const unsigned char* msg, int size, int* attributes) {
  ns_msg handle;
  if (ns_initparse(msg, size, &handle) != 0) return false;
  for (ns_sect section : {ns_s_an, ns_s_ar}) {
    int count = ns_msg_count(handle, section);
    for (int i = 0; i < count; ++i) {
      ns_rr rr;
      if (ns_parserr(&handle, section, i, &rr) != 0) return false;
      const char* name = ns_rr_name(rr);
      const char* dot = strchr(name, '.');
      if (ns_rr_type(rr) != ns_t_txt || dot == nullptr ||
          strncmp(dot + 1, "_host-config.", 13) != 0)
        continue;
      const unsigned char* p = ns_rr_rdata(rr);
      const unsigned char* end = p + ns_rr_rdlen(rr);
      *attributes = 0;
      while (p < end && end - p > *p) {
        std::string attribute(reinterpret_cast<const char*>(p + 1), *p);
        size_t equals = attribute.find('=');
        std::string key = attribute.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : attribute.substr(equals + 1);
        benchmark::DoNotOptimize(key);
        benchmark::DoNotOptimize(value);
        ++*attributes;
        p += 1 + *p;
      }
      return true;
    }
  }
  return false;
}

// Every allocation of the process is counted, so that a benchmark can tell
// how many a parse makes.
std::atomic<long> gAllocations(0);

// Ours against the peer on the typical reply, taking turns in batches so
// that the machine's load weighs on both alike. Reports each one's time per
// reply, their ratio (the aim: at most 0.5) and the heap allocations of one
// parse of ours (the record's own copy of a device ID longer than a short
// string holds, and nothing per attribute).
void BM_TypicalAgainstPeer(benchmark::State& state) {
  const std::vector<unsigned char> reply = PrinterReply().bytes();
  const Discoverer discoverer("t");
  DataBuffer buffer(4096);
  buffer.Assign(reply.data(), static_cast<int>(reply.size()));
  int attributes = 0;
  if (!PeerParse(reply.data(), static_cast<int>(reply.size()), &attributes)) {
    state.SkipWithError("the peer does not parse the reply");
    return;
  }
  using Clock = std::chrono::steady_clock;
  const int kBatch = 200;
  Clock::duration peer{}, ours{};
  long allocations = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      bool parsed = PeerParse(reply.data(), static_cast<int>(reply.size()), &attributes);
      benchmark::DoNotOptimize(parsed);
    }
    Clock::time_point middle = Clock::now();
    long before = gAllocations.load();
    for (int i = 0; i < kBatch; ++i) {
      DeviceRecord record;
      bool parsed = discoverer.ParseReply(buffer, record);
      benchmark::DoNotOptimize(parsed);
      benchmark::DoNotOptimize(record);
    }
    allocations += gAllocations.load() - before;
    ours += Clock::now() - middle;
    peer += middle - start;
  }
  const double replies = static_cast<double>(state.iterations()) * kBatch;
  state.counters["peer_ns"] = std::chrono::duration<double, std::nano>(peer).count() / replies;
  state.counters["ours_ns"] = std::chrono::duration<double, std::nano>(ours).count() / replies;
  state.counters["ratio"] =
      std::chrono::duration<double>(ours).count() / std::chrono::duration<double>(peer).count();
  state.counters["allocs_per_reply"] = static_cast<double>(allocations) / replies;
}
BENCHMARK(BM_TypicalAgainstPeer);

void BM_ParseReplyTypical(benchmark::State& state) {
  const std::vector<unsigned char> reply = PrinterReply().bytes();
  state.counters["attributes"] = static_cast<double>(kPrinterTxt.size());
  ParseReplyLoop(state, reply);
}
BENCHMARK(BM_ParseReplyTypical);

void BM_ParseReplyFull4096(benchmark::State& state) {
  int records = 0;
  const std::vector<unsigned char> reply = FullReply(&records);
  state.counters["records"] = records;
  ParseReplyLoop(state, reply);
}
BENCHMARK(BM_ParseReplyFull4096);

void BM_ParseReplyDeepNames(benchmark::State& state) {
  int records = 0;
  const std::vector<unsigned char> reply = DeepNames(&records);
  state.counters["records"] = records;
  ParseReplyLoop(state, reply);
}
BENCHMARK(BM_ParseReplyDeepNames);

// One attribute per key of the table, then a key that is not in it and an
// attribute without "=".
const char* const kKeyAttributes[] = {
    "IPADDRESS=\"192.168.0.5\"",
    "IPNETMASK=255.255.255.0",
    "IPGATEWAY=192.168.0.1",
    "IPNAME=KVT-1234",
    "MACLAA=0123456789AB",
    "MACUAA=0123456789AB",
    "IPADDRSOURCE=DHCP",
    "1284STRID=\"MFG:Tamo;CMD:ESC/P;MDL:T1;CLS:PRINTER;\"",
    "PASSWORDSET=0",
    "ADAPTERNAME=KVT-1234",
    "CPDATTACHED=1",
    "PRINTERVIDPID=2E970042",
    "MDNSNAME=Tamo KVT-1234",
    "FIRMWARE=1.2.3",
    "NOEQUALSSIGN",
};
const int kKeyCount = sizeof(kKeyAttributes) / sizeof(kKeyAttributes[0]);

void BM_ParseAttribute(benchmark::State& state) {
  const Discoverer discoverer("t");
  const std::string attribute = kKeyAttributes[state.range(0)];
  state.SetLabel(attribute.substr(0, attribute.find('=')));
  for (auto _ : state) {
    DeviceRecord record;
    discoverer.ParseAttribute(attribute, record);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_ParseAttribute)->DenseRange(0, kKeyCount - 1);

}  // namespace

// The replaced operators pair with each other; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  ++gAllocations;
  if (void* p = malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

BENCHMARK_MAIN();
