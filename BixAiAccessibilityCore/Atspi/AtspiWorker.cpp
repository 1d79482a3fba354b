#include "Atspi/AtspiWorker.h"

#include <atspi/atspi.h>
#include <cerrno>
#include <cstdint>
#include <glib-unix.h>
#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace bix::ax::atspi {

namespace {

// The helper writes nothing to standard error but its own diagnostic line, so the libraries'
// warnings (an unreachable bus, a vanished object) are dropped here.
GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

gboolean drainWakeUps(gint fd, GIOCondition, gpointer) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return G_SOURCE_CONTINUE;
}

bool desktopAnswers() {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (desktop == nullptr) {
        return false;
    }
    GError* error = nullptr;
    atspi_accessible_get_child_count(desktop, &error);
    g_object_unref(desktop);
    if (error != nullptr) {
        g_error_free(error);
        return false;
    }
    return true;
}

} // namespace

std::shared_ptr<AtspiWorker> AtspiWorker::start(std::function<void()> setUp) {
    std::shared_ptr<AtspiWorker> worker(new AtspiWorker());
    worker->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (worker->wakeFd_ < 0) {
        return worker; // never connected: every call is refused as untrusted
    }
    std::promise<void> started;
    auto ready = started.get_future();
    AtspiWorker* raw = worker.get();
    worker->thread_ =
        std::thread([raw, setUp = std::move(setUp), &started] { raw->run(setUp, &started); });
    ready.wait();
    return worker;
}

AtspiWorker::~AtspiWorker() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void AtspiWorker::post(Task task) {
    {
        std::lock_guard guard(lock_);
        queue_.push_back(std::move(task));
    }
    wake();
}

void AtspiWorker::wake() {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void AtspiWorker::run(std::function<void()> setUp, std::promise<void>* started) {
    threadId_ = std::this_thread::get_id();
    g_log_set_writer_func(discardLog, nullptr, nullptr);
    atspi_set_timeout(kBusCallTimeoutMs, kBusCallTimeoutMs);
    const int initialised = atspi_init();
    connected_ = (initialised == 0 || initialised == 1) && desktopAnswers();
    if (connected_ && setUp) {
        setUp();
    }
    started->set_value();

    GMainContext* context = g_main_context_default();
    g_main_context_acquire(context);
    const guint wakeSource = g_unix_fd_add(wakeFd_, G_IO_IN, drainWakeUps, nullptr);
    for (;;) {
        runQueuedTasks();
        {
            std::lock_guard guard(lock_);
            if (stopping_ && queue_.empty()) {
                break;
            }
        }
        // Blocks until the bus delivers something or a task is queued (the wake-up descriptor).
        g_main_context_iteration(context, TRUE);
    }
    g_source_remove(wakeSource);
    g_main_context_release(context);
}

void AtspiWorker::runQueuedTasks() {
    for (;;) {
        Task task;
        {
            std::lock_guard guard(lock_);
            if (queue_.empty()) {
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

} // namespace bix::ax::atspi
