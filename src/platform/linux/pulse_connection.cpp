#include "platform/linux/pulse_connection.hpp"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>
#include <stdexcept>

#include "platform/linux/pulse_queries.hpp"

namespace tessarin {

namespace {

constexpr const char* applicationName = "Tessarin";
// Our own streams carry it, so call detection never takes the helper for a call.
constexpr const char* applicationID = "com.tessarin.desktop.helper";

}  // namespace

std::shared_ptr<PulseConnection> PulseConnection::shared() {
    static std::mutex mutex;
    static std::weak_ptr<PulseConnection> current;
    const std::lock_guard guard(mutex);
    auto connection = current.lock();
    if (!connection) {
        connection = std::make_shared<PulseConnection>();
        current = connection;
    }
    return connection;
}

PulseConnection::PulseConnection(std::optional<std::string> server) : server_(std::move(server)) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        throw std::runtime_error("couldn't create the sound-server event loop");
    }
    pa_threaded_mainloop_set_name(loop_, "tessarin-sound");
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        throw std::runtime_error("couldn't start the sound-server event loop");
    }
}

PulseConnection::~PulseConnection() {
    {
        const PulseLock lock(loop_);
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

int PulseConnection::timeoutError() {
    return PA_ERR_TIMEOUT;
}

pa_context* PulseConnection::readyContext() const {
    return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY ? context_ : nullptr;
}

void PulseConnection::whenReady(std::function<void(pa_context*, int)> then) {
    if (pa_context* context = readyContext()) {
        then(context, 0);
        return;
    }
    waiting_.push_back(std::move(then));
    const bool connecting = context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    if (!connecting) {
        connect();
    }
}

void PulseConnection::connect() {
    if (context_) {
        // A failed context is released here, outside its own callbacks.
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, applicationName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationID);
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), applicationName,
                                            properties);
    pa_proplist_free(properties);
    if (!context_) {
        failed(PA_ERR_INTERNAL);
        return;
    }
    pa_context_set_state_callback(context_, &PulseConnection::contextStateChanged, this);
    pa_context_set_subscribe_callback(context_, &PulseConnection::serverEvent, this);
    // Never start a server of our own: without one, capture fails and says so.
    if (pa_context_connect(context_, server_ ? server_->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        failed(pa_context_errno(context_));
    }
}

void PulseConnection::contextStateChanged(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            connection->becameReady();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            connection->failed(pa_context_errno(context));
            break;
        default:
            break;
    }
}

void PulseConnection::becameReady() {
    wasReady_ = true;
    pa_operation* subscription =
        pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
    if (subscription) {
        pa_operation_unref(subscription);
    }
    refreshDefaults();
    for (auto& then : std::exchange(waiting_, {})) {
        then(context_, 0);
    }
    notify([](Listener* listener) { listener->connectionReady(); });
}

void PulseConnection::failed(int error) {
    for (auto& then : std::exchange(waiting_, {})) {
        then(nullptr, error == 0 ? PA_ERR_CONNECTIONREFUSED : error);
    }
    if (std::exchange(wasReady_, false)) {
        notify([](Listener* listener) { listener->connectionLost(); });
    }
}

void PulseConnection::serverEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                                  void* self) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
        static_cast<PulseConnection*>(self)->refreshDefaults();
    }
}

void PulseConnection::refreshDefaults() {
    // Answers arrive in the order asked, so each is compared with the one before it.
    PulseQueries::defaults(context_, [this](std::optional<Defaults> now) {
        if (!now) {
            return;  // the context went away: the next connection reads them again
        }
        const std::optional<Defaults> before = std::exchange(defaults_, *now);
        if (before && *before != *now) {
            notify([&](Listener* listener) { listener->defaultsChanged(*before, *now); });
        }
    });
}

void PulseConnection::addListener(Listener* listener) {
    listeners_.push_back(listener);
}

void PulseConnection::removeListener(Listener* listener) {
    std::erase(listeners_, listener);
}

template <class Event>
void PulseConnection::notify(Event event) {
    // A listener may remove itself (or another) while it hears the news.
    const std::vector<Listener*> listeners = listeners_;
    for (Listener* listener : listeners) {
        if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end()) {
            event(listener);
        }
    }
}

}  // namespace tessarin
