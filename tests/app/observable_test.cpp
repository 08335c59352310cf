#include "core/observable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornix {
namespace {

struct Model : ObservableObject {
    Published<int> number{*this, 0};
    Published<std::vector<int>> list{*this, {}};
};

TEST(Observable, PublishesStoreThenObjectChangedThenSubscribersWithStoredValue) {
    Model model;
    std::vector<std::string> trace;
    auto view = model.observeChanges(
        [&] { trace.push_back("changed:" + std::to_string(model.number.get())); });
    auto first = model.number.subscribe([&](int v) { trace.push_back("a:" + std::to_string(v)); });
    auto second = model.number.subscribe([&](int v) { trace.push_back("b:" + std::to_string(v)); });
    trace.clear();

    model.number = 7;
    model.number = 7; // equal values publish too

    EXPECT_EQ(trace,
              (std::vector<std::string>{"changed:7", "a:7", "b:7", "changed:7", "a:7", "b:7"}));
}

TEST(Observable, NewSubscriberReceivesCurrentValueBeforeSubscribeReturns) {
    Model model;
    model.list = {1, 2};
    std::vector<std::vector<int>> seen;
    auto token = model.list.subscribe([&](const auto& v) { seen.push_back(v); });
    EXPECT_EQ(seen, (std::vector<std::vector<int>>{{1, 2}}));
    model.list = {3};
    EXPECT_EQ(seen.back(), std::vector<int>{3});
}

TEST(Observable, AssignmentFromInsideDeliveryStandsAndIsPublishedInItsTurn) {
    Model model;
    std::vector<std::vector<int>> seenByLater;
    // Like the exclusions subscriber: it rewrites the value it is handed.
    auto rewriter = model.list.subscribe([&](const std::vector<int>& v) {
        if (!v.empty() && v.back() > 0) {
            auto changed = v;
            changed.back() = -changed.back();
            model.list = changed;
        }
    });
    auto later = model.list.subscribe([&](const auto& v) { seenByLater.push_back(v); });
    seenByLater.clear();

    model.list = {1, 5};

    EXPECT_EQ(model.list.get(), (std::vector<int>{1, -5}));
    ASSERT_FALSE(seenByLater.empty());
    // The nested assignment reached the later subscriber, and nothing stale came after it.
    EXPECT_EQ(seenByLater.back(), (std::vector<int>{1, -5}));
    for (const auto& v : seenByLater)
        EXPECT_EQ(v, (std::vector<int>{1, -5}));
}

TEST(Observable, TokenEndsSubscriptionAlsoWhenDestroyedDuringDelivery) {
    Model model;
    int calls = 0, otherCalls = 0;
    Subscription self;
    Subscription other;
    self = model.number.subscribe([&](int v) {
        ++calls;
        if (v == 1) {
            self.reset();  // its own token, mid-delivery
            other.reset(); // and a subscriber not yet called in this delivery
        }
    });
    other = model.number.subscribe([&](int) { ++otherCalls; });
    calls = otherCalls = 0;

    model.number = 1;
    model.number = 2;

    EXPECT_EQ(calls, 1);
    EXPECT_EQ(otherCalls, 0);
    EXPECT_EQ(model.number.subscriberCount(), 0u);
}

TEST(Observable, SubscriptionsMayOutliveTheirPublisher) {
    Subscription token;
    Subscription view;
    {
        Model model;
        token = model.number.subscribe([](int) {});
        view = model.observeChanges([] {});
    }
    token.reset();
    view.reset();
    SUCCEED();
}

TEST(Observable, SubscriberAddedDuringDeliveryGetsCurrentValueOnlyOnce) {
    Model model;
    std::vector<int> lateSeen;
    Subscription late;
    auto adder = model.number.subscribe([&](int v) {
        if (v == 3)
            late = model.number.subscribe([&](int w) { lateSeen.push_back(w); });
    });
    model.number = 3;
    EXPECT_EQ(lateSeen, std::vector<int>{3});
}

} // namespace
} // namespace vornix
