// Tasks: their state, and resume, suspend and cancel posted to the session's I/O thread.
#include "platform/net/URLSessionInternal.h"

namespace {

std::mutex& hookMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<NSURLSessionTask::StateChangeHook>& hookSlot() {
    static auto* slot = new std::shared_ptr<NSURLSessionTask::StateChangeHook>;
    return *slot;
}

void callHook(NSURLSessionTask& task, NSURLSessionTask::StateCall call, NSURLSessionTaskState oldState,
              NSURLSessionTaskState newState) {
    std::shared_ptr<NSURLSessionTask::StateChangeHook> hook;
    {
        std::lock_guard lock(hookMutex());
        hook = hookSlot();
    }
    if (hook) (*hook)(task, call, oldState, newState);
}

}  // namespace

void NSURLSessionTask::setStateChangeHook(StateChangeHook hook) {
    std::lock_guard lock(hookMutex());
    hookSlot() = hook ? std::make_shared<StateChangeHook>(std::move(hook)) : nullptr;
}

NSURLSessionTask::~NSURLSessionTask() = default;

NSURLRequest NSURLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

NSURLResponsePtr NSURLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

NSErrorPtr NSURLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string NSURLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void NSURLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

void NSURLSessionTask::resume() {
    NSURLSessionTaskState oldState;
    NSURLSessionTaskState newState;  // what this call left, whatever other threads do next
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        oldState = newState = state_.load();
        if (oldState == NSURLSessionTaskState::Suspended) {
            state_.store(newState = NSURLSessionTaskState::Running);
            start = !started_;
            started_ = true;
        }
    }
    if (oldState == NSURLSessionTaskState::Suspended) {
        auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
        if (auto session = session_.lock()) {
            if (start) {
                // Neither request changes once the task is made: the I/O thread reads them from the task
                // instead of from copies made here.
                bool ask = internal_->needsStream;
                session->impl_->post(self, [self, ask](NSURLSessionIO& io) {
                    if (ask) {
                        io.askForStream(self, self->originalRequest_, self->internal_->body, 0);
                    } else {
                        io.start(self, self->originalRequest_, self->internal_->body, 0);
                    }
                });
            } else {
                session->impl_->post(self, [self](NSURLSessionIO& io) {
                    if (URLSessionTransfer* t = io.find(self)) {
                        t->suspended = self->state() == NSURLSessionTaskState::Suspended;
                        t->lastActivity = SteadyClock::now();
                        io.applyPause(*t);
                    }
                });
            }
        } else {
            // The session is gone: nothing can run the task.
            std::lock_guard lock(mutex_);
            state_.store(newState = NSURLSessionTaskState::Completed);
            error_ = NSURLError(NSURLErrorCancelled, originalRequest_.URL());
        }
    }
    if (oldState != NSURLSessionTaskState::Running) callHook(*this, StateCall::Resume, oldState, newState);
}

void NSURLSessionTask::suspend() {
    NSURLSessionTaskState oldState;
    NSURLSessionTaskState newState;
    {
        std::lock_guard lock(mutex_);
        oldState = newState = state_.load();
        if (oldState == NSURLSessionTaskState::Running)
            state_.store(newState = NSURLSessionTaskState::Suspended);
    }
    if (oldState == NSURLSessionTaskState::Running) {
        auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
        if (auto session = session_.lock()) {
            session->impl_->post(self, [self](NSURLSessionIO& io) {
                if (URLSessionTransfer* t = io.find(self)) {
                    t->suspended = self->state() == NSURLSessionTaskState::Suspended;
                    io.applyPause(*t);
                }
            });
        }
    }
    if (oldState != NSURLSessionTaskState::Suspended) callHook(*this, StateCall::Suspend, oldState, newState);
}

void NSURLSessionTask::cancel() {
    bool started;
    {
        std::lock_guard lock(mutex_);
        auto state = state_.load();
        if (state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed) return;
        state_.store(NSURLSessionTaskState::Canceling);
        started = started_;
    }
    auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
    auto session = session_.lock();
    auto error = NSURLError(NSURLErrorCancelled, currentRequest().URL());
    if (session) session->impl_->wakeChallenge();
    if (!session) {
        std::lock_guard lock(mutex_);
        state_.store(NSURLSessionTaskState::Completed);
        error_ = error;
        return;
    }
    if (!started) {
        session->impl_->completeTask(self, error);
        return;
    }
    session->impl_->post(self, [self, error](NSURLSessionIO& io) {
        if (URLSessionTransfer* t = io.find(self)) {
            io.finish(*t, error);
        } else {
            NSURLSessionIO::implOf(self).completeTask(self, error);  // between hops, waiting for the delegate
        }
    });
}

Value NSURLSessionTask::valueForKey(const std::string& key) const {
    if (key == "countOfBytesReceived") return Value(countOfBytesReceived());
    if (key == "countOfBytesSent") return Value(countOfBytesSent());
    if (key == "countOfBytesExpectedToReceive") return Value(countOfBytesExpectedToReceive());
    if (key == "countOfBytesExpectedToSend") return Value(countOfBytesExpectedToSend());
    if (key == "state") return Value(long(state()));
    if (key == "taskDescription") return Value(taskDescription());
    return Value();
}

std::string NSURLSessionTask::description() const {
    return "<NSURLSessionTask " + std::to_string(identifier_) + ": " + originalRequest_.description() + ">";
}
