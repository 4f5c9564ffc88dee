// Interruptions on POSIX systems: SIGPIPE ignored, and SIGINT, SIGTERM and SIGHUP caught
// so that the work files go before the process ends as the signal would end it.
//
// The handler may run at any moment, on any thread, so it touches nothing but a list it
// can walk without locks: records that are only ever added at its head and never freed,
// each holding a path ready for unlink() and a flag that says whether it still counts.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

struct RemovalRecord {
  RemovalRecord* next;
  std::atomic<bool> active;
  char* path;
};

std::atomic<RemovalRecord*> g_removals{nullptr};

const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

void fill_interruptions(sigset_t* set) {
  sigemptyset(set);
  for (int signal_number : kInterruptions) sigaddset(set, signal_number);
}

extern "C" void on_interruption(int signal_number) {
  int saved_errno = errno;
  // A helper command in a process group of its own gets no signal of this process's: it
  // is ended here, or it would outlive the run.
  end_helper_command();
  for (RemovalRecord* record = g_removals.load(); record != nullptr; record = record->next) {
    if (record->active.load()) unlink(record->path);
  }
  // The handler was reset to the default action on entry and the signal is not blocked
  // inside it, so raising it again ends the process with that signal's status.
  raise(signal_number);
  errno = saved_errno;
}

}  // namespace

void install_interrupt_handling() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  struct sigaction catcher {};
  catcher.sa_handler = on_interruption;
  // While one interruption removes the files the others wait; the same one again ends the
  // process at once (a second Ctrl+C is not held up).
  fill_interruptions(&catcher.sa_mask);
  catcher.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int signal_number : kInterruptions) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    // nohup and background jobs start the process with these ignored; that stays so.
    if (current.sa_handler == SIG_IGN) continue;
    sigdelset(&catcher.sa_mask, signal_number);
    sigaction(signal_number, &catcher, nullptr);
    sigaddset(&catcher.sa_mask, signal_number);
  }
}

std::FILE* create_work_file(const std::string& path) {
  // An interruption between the making of the file and its recording would leave it.
  sigset_t block;
  sigset_t previous;
  fill_interruptions(&block);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  std::FILE* file = create_exclusive(path);
  if (file != nullptr) {
    RemovalRecord* record = new RemovalRecord;
    record->path = new char[path.size() + 1];
    std::memcpy(record->path, path.c_str(), path.size() + 1);
    record->active.store(true);
    record->next = g_removals.load();
    g_removals.store(record);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return file;
}

void forget_work_files() {
  for (RemovalRecord* record = g_removals.load(); record != nullptr; record = record->next) {
    record->active.store(false);
  }
}

}  // namespace platform
