// Process end: Ctrl+C, SIGTERM and SIGHUP take the place of the console control events. One
// thread of its own waits for them (every other thread blocks them), runs the exit hooks (a
// recording's header) and ends the process the way the signal would; SIGUSR1 asks for a status
// line instead. stub_exit ends the process the same way from inside (the end of a drive script).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "stub.h"

static void (*s_exit_hooks[8])(void);
static std::atomic<int> s_exit_hook_count{0};
static std::atomic<void (*)(void)> s_status_hook{nullptr};

void stub_on_exit(void (*hook)(void)) {
    int i = s_exit_hook_count.load();
    if (i < 8) {
        s_exit_hooks[i] = hook;
        s_exit_hook_count.store(i + 1);
    }
}

void stub_on_status_request(void (*hook)(void)) {
    s_status_hook.store(hook);
}

// The end of a script and a Ctrl+C may come at the same moment: the first runs the hooks (a
// recording's header is written once) and ends the process; the other waits for that end.
static void run_exit_hooks(void) {
    static std::atomic<bool> s_exiting{false};
    if (s_exiting.exchange(true)) {
        for (;;)
            pause();
    }
    for (int i = 0; i < s_exit_hook_count.load(); i++)
        s_exit_hooks[i]();
    fflush(stdout);
}

void stub_exit(int status) {
    run_exit_hooks();
    fflush(stderr);
    _exit(status);
}

static void *signal_thread(void *arg) {
    sigset_t *set = (sigset_t *)arg;
    int sig = 0;
    for (;;) {
        sigwait(set, &sig);
        if (sig != SIGUSR1) break;
        // A status request (used by the soak run): report and carry on.
        void (*hook)(void) = s_status_hook.load();
        if (hook != nullptr) hook();
    }
    run_exit_hooks();
    // End the process the way the signal's default action would.
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void stub_install_exit_signals() {
    static sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread created later
    pthread_t thread;
    pthread_create(&thread, nullptr, signal_thread, &set);
    pthread_detach(thread);
}
