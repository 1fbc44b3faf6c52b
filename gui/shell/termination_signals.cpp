#include "gui/shell/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "gui/events/kz_application.h"

namespace {

// The signal handler only writes a byte to this pipe; the read end's notifier turns it
// into the event on the main thread, where posting is safe.
int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int saved_errno = errno;
  const char byte = 1;
  // A full pipe already holds a pending request; nothing is lost by dropping this one.
  [[maybe_unused]] ssize_t written = write(SignalPipe[1], &byte, 1);
  errno = saved_errno;
}

void DrainSignalPipe() {
  char bytes[64];
  bool requested = false;
  for (;;) {
    ssize_t count = read(SignalPipe[0], bytes, sizeof bytes);
    if (count > 0) {
      requested = true;
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    break;  // empty (EAGAIN) or closed
  }
  if (requested) RequestTermination();
}

}  // namespace

void InstallTerminationSignals() {
  if (SignalPipe[0] != -1) return;
  if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier =
      new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, &DrainSignalPipe);

  struct sigaction action = {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
    sigaction(signal_number, &action, nullptr);
}
