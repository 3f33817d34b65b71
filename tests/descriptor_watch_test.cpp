// DescriptorWatch on pipes, socket pairs and timers: registration, the
// budget that successive waits share, and descriptors that a select() set
// cannot hold. No network.

#include "descriptor_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "test_util.h"

namespace {

// Descriptors in known states: `readable` has a byte waiting, `writable` is
// a pipe's write end, `both` is a socket with data waiting (readable and
// writable), `idle` is a pipe's read end with nothing in it.
struct Fixture {
  Fd readable, writable, both, bothPeer, idle, idleWriter;
  Fixture() {
    int p[2];
    EXPECT_EQ(0, pipe(p));
    readable.Reset(p[0]);
    writable.Reset(p[1]);
    EXPECT_EQ(1, write(writable.get(), "x", 1));
    int s[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, s));
    both.Reset(s[0]);
    bothPeer.Reset(s[1]);
    EXPECT_EQ(1, write(bothPeer.get(), "y", 1));
    EXPECT_EQ(0, pipe(p));
    idle.Reset(p[0]);
    idleWriter.Reset(p[1]);
  }
  std::vector<int> All() const { return {readable.get(), writable.get(), both.get(), idle.get()}; }
};

TEST(DescriptorWatch, EmptyWatchReturnsAtOnceAndKeepsTheTimeout) {
  DescriptorWatch watch;
  EXPECT_TRUE(watch.Expired());  // a new watch holds a zero timeout
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, watch.Wait(15, 0));
  EXPECT_LT(MillisecondsSince(start), 50);
  EXPECT_EQ(15, watch.Timeout().tv_sec);
  EXPECT_EQ(0, watch.Timeout().tv_usec);
  EXPECT_FALSE(watch.Expired());
  EXPECT_EQ(0, watch.Rewait());
  EXPECT_EQ(15, watch.Timeout().tv_sec);
}

struct RegistrationRow {
  const char* name;
  std::function<void(DescriptorWatch&, const Fixture&)> setUp;
  int result;
  // Which of readable, writable, both, idle the wait marks.
  std::set<int (*)(const Fixture&)> markedRead, markedWrite;
};

int Readable(const Fixture& f) { return f.readable.get(); }
int Writable(const Fixture& f) { return f.writable.get(); }
int Both(const Fixture& f) { return f.both.get(); }

TEST(DescriptorWatch, RegistrationDecidesWhatAWaitWatches) {
  // Every descriptor used here except `idle` is ready, so a wait returns at
  // once whatever is registered; a watch that ends up empty shows itself by
  // returning 0 with its timeout untouched.
  const RegistrationRow rows[] = {
      {"AddRead of a readable pipe",
       [](DescriptorWatch& w, const Fixture& f) { w.AddRead(f.readable.get()); },
       1,
       {Readable},
       {}},
      {"AddWrite of a pipe's write end",
       [](DescriptorWatch& w, const Fixture& f) { w.AddWrite(f.writable.get()); },
       1,
       {},
       {Writable}},
      {"AddReadWrite counts both directions",
       [](DescriptorWatch& w, const Fixture& f) { w.AddReadWrite(f.both.get()); },
       2,
       {Both},
       {Both}},
      {"idle descriptor beside a ready one",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddRead(f.idle.get());
         w.AddRead(f.readable.get());
       },
       1,
       {Readable},
       {}},
      {"AddReadWrite then one Remove leaves both lists",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddReadWrite(f.both.get());
         w.Remove(f.both.get());
       },
       0,
       {},
       {}},
      {"registered twice, removed once: still watched",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddRead(f.readable.get());
         w.AddRead(f.readable.get());
         w.Remove(f.readable.get());
       },
       1,
       {Readable},
       {}},
      {"registered twice, removed twice",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddRead(f.readable.get());
         w.AddRead(f.readable.get());
         w.Remove(f.readable.get());
         w.Remove(f.readable.get());
       },
       0,
       {},
       {}},
      {"Remove of an unregistered descriptor changes nothing",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddRead(f.readable.get());
         w.AddWrite(f.writable.get());
         w.Remove(f.both.get());
         w.Remove(12345);
         w.Remove(-1);
       },
       2,
       {Readable},
       {Writable}},
      {"Remove in the middle keeps the others",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddRead(f.readable.get());
         w.AddRead(f.idle.get());
         w.AddRead(f.both.get());
         w.AddWrite(f.writable.get());
         w.AddWrite(f.both.get());
         w.Remove(f.idle.get());
         w.Remove(f.writable.get());
       },
       3,
       {Readable, Both},
       {Both}},
      {"negative descriptors are ignored",
       [](DescriptorWatch& w, const Fixture&) {
         w.AddRead(-1);
         w.AddWrite(-2);
         w.AddReadWrite(-3);
       },
       0,
       {},
       {}},
      {"Clear empties both lists",
       [](DescriptorWatch& w, const Fixture& f) {
         w.AddReadWrite(f.both.get());
         w.AddRead(f.readable.get());
         w.Clear();
       },
       0,
       {},
       {}},
  };
  for (const RegistrationRow& row : rows) {
    SCOPED_TRACE(row.name);
    Fixture f;
    DescriptorWatch watch;
    row.setUp(watch, f);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(row.result, watch.Wait(5, 0));
    EXPECT_LT(MillisecondsSince(start), 100);
    if (row.result == 0) {
      EXPECT_EQ(5000000L, Microseconds(watch.Timeout()));
    } else {
      EXPECT_GT(Microseconds(watch.Timeout()), 4900000L);
      EXPECT_LE(Microseconds(watch.Timeout()), 5000000L);
    }
    std::set<int> read, write;
    for (auto pick : row.markedRead) read.insert(pick(f));
    for (auto pick : row.markedWrite) write.insert(pick(f));
    for (int fd : f.All()) {
      EXPECT_EQ(read.count(fd) == 1, watch.IsReadable(fd)) << "fd " << fd;
      EXPECT_EQ(write.count(fd) == 1, watch.IsWritable(fd)) << "fd " << fd;
    }
  }
}

TEST(DescriptorWatch, ReadyDescriptorLeavesNearlyAllOfTheBudget) {
  Fixture f;
  DescriptorWatch watch;
  watch.AddRead(f.readable.get());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(1, watch.Wait(15, 0));
  EXPECT_LT(MillisecondsSince(start), 100);
  EXPECT_TRUE(watch.IsReadable(f.readable.get()));
  EXPECT_FALSE(watch.Expired());
  EXPECT_GT(Microseconds(watch.Timeout()), 14900000L);
}

TEST(DescriptorWatch, NothingReadySpendsTheWholeBudget) {
  Fixture f;
  DescriptorWatch watch;
  watch.AddRead(f.idle.get());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, watch.Wait(0, 300000));
  double spent = MillisecondsSince(start);
  EXPECT_GE(spent, 295);
  EXPECT_LT(spent, 600);
  EXPECT_TRUE(watch.Expired());
  for (int fd : f.All()) {
    EXPECT_FALSE(watch.IsReadable(fd));
    EXPECT_FALSE(watch.IsWritable(fd));
  }
}

// A timer that fires every 100 ms stands in for replies arriving while the
// discovery waits: the waits share one 350 ms budget, so the loop sees three
// expiries and ends 350 ms after it began, not 350 ms after the last one.
TEST(DescriptorWatch, SuccessiveRewaitsSpendOneBudget) {
  Fd timer(timerfd_create(CLOCK_MONOTONIC, 0));
  ASSERT_GE(timer.get(), 0);
  itimerspec every100ms = {{0, 100000000}, {0, 100000000}};
  DescriptorWatch watch;
  watch.AddRead(timer.get());
  Clock::time_point start = Clock::now();
  ASSERT_EQ(0, timerfd_settime(timer.get(), 0, &every100ms, nullptr));

  std::vector<long> left;
  int result = watch.Wait(0, 350000);
  // Bounded, so that a watch whose budget never runs out fails instead of
  // looping for ever.
  while (result > 0 && !watch.Expired() && left.size() < 10) {
    EXPECT_TRUE(watch.IsReadable(timer.get()));
    left.push_back(Microseconds(watch.Timeout()));
    uint64_t expiries;
    EXPECT_EQ(static_cast<ssize_t>(sizeof(expiries)),
              read(timer.get(), &expiries, sizeof(expiries)));
    result = watch.Rewait();
  }
  double total = MillisecondsSince(start);
  EXPECT_EQ(0, result);
  EXPECT_TRUE(watch.Expired());
  ASSERT_EQ(3u, left.size());
  const long expected[] = {250000, 150000, 50000};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_LE(left[i], expected[i] + 3000) << "after wake-up " << i;
    EXPECT_GE(left[i], expected[i] - 80000) << "after wake-up " << i;
  }
  EXPECT_GE(total, 345);
  EXPECT_LT(total, 600);

  // With the budget gone, a further Rewait only polls.
  start = Clock::now();
  EXPECT_GE(watch.Rewait(), 0);
  EXPECT_LT(MillisecondsSince(start), 40);
}

TEST(DescriptorWatch, WaitOnAClosedDescriptorFails) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  close(p[1]);
  DescriptorWatch watch;
  watch.AddRead(p[0]);
  close(p[0]);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(-1, watch.Wait(1, 0));
  EXPECT_LT(MillisecondsSince(start), 100);
}

// Raises the descriptor limit for the scope when it is too low for `highest`.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t highest) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    if (raised.rlim_cur <= highest) raised.rlim_cur = highest + 1;
    if (raised.rlim_max < raised.rlim_cur) raised.rlim_max = raised.rlim_cur;
    ok_ = setrlimit(RLIMIT_NOFILE, &raised) == 0;
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_;
  bool ok_;
};

// A select() set holds descriptors 0 to 1023. A higher one, real and ready,
// is refused, and while it stays registered, by any of the three, every
// wait fails at once rather than passing it over; nothing is written into
// (or past) the sets for it, and asking about it gives false.
TEST(DescriptorWatch, DescriptorsBeyondTheSetsFailEveryWait) {
  const int kHigh[] = {1024, 1500, 3000};
  DescriptorLimit limit(3000);
  ASSERT_TRUE(limit.ok());
  Fixture f;
  std::vector<std::unique_ptr<Fd>> high;
  for (int fd : kHigh) {
    ASSERT_EQ(fd, dup2(f.both.get(), fd)) << strerror(errno);
    high.emplace_back(new Fd(fd));
  }
  const std::function<bool(DescriptorWatch&, int)> adders[] = {
      &DescriptorWatch::AddRead, &DescriptorWatch::AddWrite, &DescriptorWatch::AddReadWrite};
  for (const auto& add : adders) {
    // On the heap: a write past the object is caught by the sanitizer build.
    std::unique_ptr<DescriptorWatch> watch(new DescriptorWatch);
    EXPECT_TRUE(watch->AddRead(f.readable.get()));
    for (int fd : kHigh) EXPECT_FALSE(add(*watch, fd)) << fd;
    errno = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, watch->Wait(5, 0));
    EXPECT_EQ(EBADF, errno);
    EXPECT_LT(MillisecondsSince(start), 50);
    for (int fd : {f.readable.get(), 1024, 4096, INT_MAX, -1})
      EXPECT_FALSE(watch->IsReadable(fd) || watch->IsWritable(fd)) << fd;
    // Removed again: the low descriptor is waited on as before.
    for (int fd : kHigh) watch->Remove(fd);
    EXPECT_EQ(1, watch->Wait(5, 0));
    for (int fd = 0; fd < 1024; ++fd) {
      EXPECT_EQ(fd == f.readable.get(), watch->IsReadable(fd)) << fd;
      EXPECT_FALSE(watch->IsWritable(fd)) << fd;
    }
  }
}

}  // namespace
