#include "Simulator/SimulatedDesktopState.h"

#include <algorithm>
#include <utility>

// Scripted chat-application behaviour: a press responder that answers a submit with a reply
// growing on the scheduler's timers, and arms the submit's scripted changes.

namespace bix::ax {

using namespace simulated;
using namespace std::chrono_literals;
using State = SimulatedDesktop::State;

namespace {

// One chat application. Its fields are guarded by the model's mutex: presses and growth steps
// run under it. Each submit, stop and new conversation starts a new generation, so a timer armed
// for an earlier reply finds itself outdated and does nothing.
class ChatApplication final : public SimulatedPressResponder,
                              public std::enable_shared_from_this<ChatApplication> {
public:
    explicit ChatApplication(SimulatedChatBehaviour behaviour) : behaviour_(std::move(behaviour)) {
        for (const auto& chunk : behaviour_.replyChunks) {
            wholeReply_ += chunk;
        }
    }

    void pressed(State& state, SimulatedElementId element, PendingWork& work) override {
        if (state.keyed(behaviour_.submitKey) == element) {
            submit(state, work);
        } else if (state.keyed(behaviour_.stopKey) == element && generating_) {
            endReply(state, work);
        } else if (state.keyed(behaviour_.newConversationKey) == element) {
            startNewConversation(state, work);
        }
    }

private:
    void submit(State& state, PendingWork& work);
    void startNewConversation(State& state, PendingWork& work);
    void scheduleGrowth(State& state, PendingWork& work);
    void grow(State& state, std::uint64_t generation, PendingWork& work);
    std::optional<std::string> nextText(const Element& message);
    void armAfterSubmit(State& state, std::optional<std::int32_t> chatPid, PendingWork& work);
    void endReply(State& state, PendingWork& work) {
        generating_ = false;
        ++generation_;
        setStopEnabled(state, false, work);
    }
    void setStopEnabled(State& state, bool enabled, PendingWork& work) {
        if (auto stop = state.keyed(behaviour_.stopKey); stop && state.element(*stop)) {
            state.setValueNotifying(*state.element(*stop), kEnabled, enabled, work);
        }
    }
    // Earlier answers lose the identifier, so it names exactly one message however long the
    // conversation grows.
    void retireEarlierAnswers(State& state, SimulatedElementId transcript) {
        for (auto message : state.element(transcript)->children) {
            Element* earlier = state.element(message);
            if (earlier == nullptr) {
                continue;
            }
            const auto identifier = earlier->attributes.find(kIdentifier);
            if (identifier != earlier->attributes.end() &&
                identifier->second == SimulatedValue(behaviour_.messageIdentifier)) {
                earlier->attributes.erase(identifier);
            }
        }
    }

    const SimulatedChatBehaviour behaviour_;
    std::string wholeReply_;
    std::optional<SimulatedElementId> message_;
    std::size_t nextChunk_ = 0;
    std::uint64_t revision_ = 0; // changes made after the last chunk
    std::uint64_t generation_ = 0;
    bool generating_ = false;
};

void ChatApplication::submit(State& state, PendingWork& work) {
    Element* composer = state.keyed(behaviour_.composerKey)
                            ? state.element(*state.keyed(behaviour_.composerKey))
                            : nullptr;
    const auto transcript = state.keyed(behaviour_.transcriptKey);
    if (composer == nullptr || !transcript || state.element(*transcript) == nullptr) {
        return;
    }
    const auto* prompt = std::get_if<std::string>(&composer->attributes[kValue]);
    if (prompt == nullptr || prompt->empty() || generating_) {
        return; // a real chat app keeps its send button inert here
    }
    const std::string promptText = *prompt;
    state.setValueNotifying(*composer, kValue, std::string(), work);
    retireEarlierAnswers(state, *transcript);
    const std::int32_t pid = state.element(*transcript)->pid;
    auto userMessage = SimulatedElementSpec::withRole(behaviour_.messageRole);
    userMessage.set(kIdentifier, std::string("user-message")).set(kValue, promptText);
    auto reply = SimulatedElementSpec::withRole(behaviour_.messageRole);
    reply.set(kIdentifier, behaviour_.messageIdentifier).set(kValue, std::string());
    // build() may rehash the element table: look the transcript up again after each call.
    const auto userId = state.build(userMessage, pid, *transcript);
    state.element(*transcript)->children.push_back(userId);
    const auto replyId = state.build(reply, pid, *transcript);
    state.element(*transcript)->children.push_back(replyId);
    state.notifyLayout(*transcript, work);
    message_ = replyId;
    nextChunk_ = 0;
    revision_ = 0;
    generating_ = true;
    ++generation_;
    setStopEnabled(state, true, work);
    scheduleGrowth(state, work);
    armAfterSubmit(state, state.applicationPidOf(*transcript), work);
}

void ChatApplication::armAfterSubmit(State& state, std::optional<std::int32_t> chatPid,
                                     PendingWork& work) {
    for (const auto& [after, scripted] : behaviour_.afterSubmit) {
        SimulatedChange change = scripted;
        if (!change.pid) {
            change.pid = chatPid;
        }
        state.armChange(
            after, [change](SimulatedDesktop& desktop) { desktop.applyChange(change); }, work);
    }
}

void ChatApplication::startNewConversation(State& state, PendingWork& work) {
    endReply(state, work);
    message_.reset();
    const auto transcript = state.keyed(behaviour_.transcriptKey);
    if (!transcript || state.element(*transcript) == nullptr) {
        return;
    }
    const auto messages = state.element(*transcript)->children;
    for (auto message : messages) {
        state.destroy(message, work);
    }
    state.element(*transcript)->children.clear();
    state.notifyLayout(*transcript, work);
}

void ChatApplication::scheduleGrowth(State& state, PendingWork& work) {
    std::weak_ptr<State> weakState = state.weak_from_this();
    std::weak_ptr<ChatApplication> weakChat = weak_from_this();
    const std::uint64_t generation = generation_;
    // A never-settling reply re-arms itself forever: a zero step would never let the loop idle.
    const auto step = nextChunk_ < behaviour_.replyChunks.size() ? behaviour_.step
                                                                 : std::max(behaviour_.step, 1ms);
    work.timers.emplace_back(step, [weakState, weakChat, generation] {
        auto liveState = weakState.lock();
        auto chat = weakChat.lock();
        if (!liveState || !chat) {
            return;
        }
        PendingWork next;
        {
            std::lock_guard guard(liveState->mutex);
            next = liveState->work();
            chat->grow(*liveState, generation, next);
        }
        next.run();
    });
}

// The message's next text, or nothing when the reply is complete.
std::optional<std::string> ChatApplication::nextText(const Element& message) {
    if (nextChunk_ < behaviour_.replyChunks.size()) {
        std::string text;
        const auto value = message.attributes.find(kValue);
        if (value != message.attributes.end()) {
            if (const auto* current = std::get_if<std::string>(&value->second)) {
                text = *current;
            }
        }
        return text + behaviour_.replyChunks[nextChunk_++];
    }
    if (behaviour_.neverSettles) {
        // A counter, not a cycle: a text seen twice could look stable to a reader.
        return wholeReply_ + " (" + std::to_string(++revision_) + ")";
    }
    return std::nullopt;
}

void ChatApplication::grow(State& state, std::uint64_t generation, PendingWork& work) {
    if (!generating_ || generation_ != generation || !message_) {
        return;
    }
    // The reply also ends (and stop is disabled) when its message is gone, so the app never shows
    // a live stop button while idle.
    Element* message = state.element(*message_);
    const auto text = message ? nextText(*message) : std::nullopt;
    if (!text) {
        endReply(state, work);
        return;
    }
    state.setValueNotifying(*message, kValue, *text, work);
    if (message->parent) {
        state.notifyLayout(*message->parent, work);
    }
    if (nextChunk_ < behaviour_.replyChunks.size() || behaviour_.neverSettles) {
        scheduleGrowth(state, work);
        return;
    }
    endReply(state, work);
}

} // namespace

bool SimulatedDesktop::addChatBehaviour(const SimulatedChatBehaviour& behaviour) {
    std::lock_guard guard(state_->mutex);
    for (const auto* key : {&behaviour.composerKey, &behaviour.submitKey, &behaviour.stopKey,
                            &behaviour.newConversationKey, &behaviour.transcriptKey}) {
        if (!state_->keyed(*key)) {
            return false;
        }
    }
    state_->pressResponders.push_back(std::make_shared<ChatApplication>(behaviour));
    return true;
}

} // namespace bix::ax
