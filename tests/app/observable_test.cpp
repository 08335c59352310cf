#include "core/observable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornix {
namespace {

struct Model : ObservableObject {
    Published<std::vector<int>> list{*this, {}};
};

TEST(Observable, EveryAssignmentOrChangeInPlaceStoresThenTellsViewsThenSubscribers) {
    Model model;
    std::vector<std::string> trace;
    auto text = [&](const std::vector<int>& v) { return v.empty() ? "-" : std::to_string(v[0]); };
    auto view = model.observeChanges([&] { trace.push_back("changed:" + text(model.list)); });
    auto a = model.list.subscribe([&](const auto& v) { trace.push_back("a:" + text(v)); });
    EXPECT_EQ(trace, std::vector<std::string>{"a:-"}); // before subscribe returns
    auto b = model.list.subscribe([&](const auto& v) { trace.push_back("b:" + text(v)); });
    trace.clear();
    model.list = {7};
    model.list = {7}; // equal values publish too
    const int* storage = model.list.get().data();
    model.list.modify([](std::vector<int>& v) { v[0] = 8; });
    EXPECT_EQ(model.list.get().data(), storage); // in place: no copy
    EXPECT_EQ(trace, (std::vector<std::string>{"changed:7", "a:7", "b:7", "changed:7", "a:7", "b:7",
                                               "changed:8", "a:8", "b:8"}));
}

TEST(Observable, NestedAssignmentStandsAndLaterSubscribersSeeOnlyTheStoredValue) {
    Model model;
    auto rewriter = model.list.subscribe([&](const std::vector<int>& v) {
        if (!v.empty() && v.back() > 0)
            model.list.modify([](std::vector<int>& w) { w.back() = -w.back(); });
    });
    std::vector<std::vector<int>> seen;
    Subscription late; // added mid-delivery: called once, at once, with the stored value
    auto later = model.list.subscribe([&](const auto& v) {
        seen.push_back(v);
        if (!v.empty() && seen.size() == 1)
            late = model.list.subscribe([&](const auto& w) { seen.push_back(w); });
    });
    seen.clear();
    model.list = {1, 5};
    EXPECT_EQ(model.list.get(), (std::vector<int>{1, -5}));
    EXPECT_EQ(seen, (std::vector<std::vector<int>>(3, {1, -5})));
}

TEST(Observable, TokensEndSubscriptionsMidDeliveryAndMayOutliveThePublisher) {
    Subscription self, other, view;
    int calls = 0, otherCalls = 0;
    {
        Model model;
        self = model.list.subscribe([&](const auto& v) {
            ++calls;
            if (!v.empty()) {
                self.reset();  // its own token, mid-delivery
                other.reset(); // and one not yet called in this delivery
            }
        });
        other = model.list.subscribe([&](const auto&) { ++otherCalls; });
        view = model.observeChanges([] {});
        model.list = {1};
        model.list = {2};
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(otherCalls, 1);
        EXPECT_EQ(model.list.subscriberCount(), 0u);
    }
    view.reset();
}

} // namespace
} // namespace vornix
