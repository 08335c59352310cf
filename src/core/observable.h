#pragma once

// Publish-and-subscribe for the long-lived state objects. Everything here runs on the main
// thread only; nothing is locked.
//
// One publication, in this order:
//   1. the new value is stored;
//   2. every view observing the owning object is told that the object changed;
//   3. every subscriber of the property is called with the stored value.
// Every assignment (and every change in place) publishes, equal values included. A subscriber may
// assign to a published property while it is being called: the assignment stands and is published
// in its turn. Remaining subscribers of the outer publication are then called with the value stored
// at the moment of their call, so the last value any subscriber sees is always the stored one.

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vornix {

/// Keeps one subscription alive. Destroying (or reset()) ends it, also from inside a delivery;
/// a subscription that outlives its publisher ends harmlessly.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, {}))
            cancel();
    }

private:
    std::function<void()> cancel_;
};

namespace detail {

template <class... Args> class SlotList {
public:
    struct Slot {
        std::function<void(Args...)> fn;
        bool active = true;
    };

    std::shared_ptr<Slot> add(std::function<void(Args...)> fn) {
        auto slot = std::make_shared<Slot>(Slot{std::move(fn), true});
        slots_.push_back(slot);
        return slot;
    }

    /// A token that ends `slot`'s subscription; it holds neither the slot nor the list.
    static Subscription tokenFor(const std::shared_ptr<SlotList>& list,
                                 const std::shared_ptr<Slot>& slot) {
        std::weak_ptr<Slot> weakSlot = slot;
        std::weak_ptr<SlotList> weakList = list;
        return Subscription([weakSlot, weakList] {
            if (auto s = weakSlot.lock())
                s->active = false;
            if (auto l = weakList.lock())
                l->prune();
        });
    }

    // Calls every slot that is still active when its turn comes. Slots added during the call
    // are not called by it; slots cancelled during the call are skipped.
    template <class Produce> void call(Produce&& produce) {
        const auto snapshot = slots_;
        for (const auto& slot : snapshot) {
            if (slot->active)
                std::apply(slot->fn, produce());
        }
        prune();
    }

    void prune() {
        std::erase_if(slots_, [](const auto& slot) { return !slot->active; });
    }

    std::size_t size() const {
        std::size_t n = 0;
        for (const auto& slot : slots_)
            n += slot->active ? 1 : 0;
        return n;
    }

private:
    std::vector<std::shared_ptr<Slot>> slots_;
};

} // namespace detail

/// Base of every object whose properties are published. Views observe the object as a whole.
class ObservableObject {
public:
    ObservableObject() = default;
    ObservableObject(const ObservableObject&) = delete;
    ObservableObject& operator=(const ObservableObject&) = delete;

    /// `changed` runs after any published property of this object has stored a new value and
    /// before that property's own subscribers are called.
    Subscription observeChanges(std::function<void()> changed) {
        return Slots::tokenFor(changeSlots_, changeSlots_->add(std::move(changed)));
    }

protected:
    ~ObservableObject() = default;

private:
    template <class T> friend class Published;
    using Slots = detail::SlotList<>;

    void notifyChanged() {
        auto keep = changeSlots_;
        keep->call([] { return std::tuple<>{}; });
    }

    std::shared_ptr<Slots> changeSlots_ = std::make_shared<Slots>();
};

/// A property whose every assignment is published (see the file comment for the order).
template <class T> class Published {
public:
    Published(ObservableObject& owner, T initial) : owner_(owner), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    void set(T value) {
        value_ = std::move(value);
        publish();
    }

    /// Changes the stored value in place through `change(T&)` and publishes it as an assignment
    /// would, without copying it. `change` must not publish this property itself.
    template <class Change> void modify(Change&& change) {
        change(value_);
        publish();
    }

    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    /// Calls `receive` with the current value before returning, then with every new value.
    [[nodiscard]] Subscription subscribe(std::function<void(const T&)> receive) {
        auto slot = slots_->add(std::move(receive));
        Subscription token = Slots::tokenFor(slots_, slot);
        slot->fn(value_);
        return token;
    }

    std::size_t subscriberCount() const { return slots_->size(); }

private:
    void publish() {
        owner_.notifyChanged();
        auto keep = slots_;
        keep->call([this] { return std::tuple<const T&>(value_); });
    }

    using Slots = detail::SlotList<const T&>;
    ObservableObject& owner_;
    T value_;
    std::shared_ptr<Slots> slots_ = std::make_shared<Slots>();
};

} // namespace vornix
