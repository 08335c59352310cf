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
    auto note = [&](const char* who, const std::vector<int>& v) {
        trace.push_back(who + (v.empty() ? std::string("-") : std::to_string(v[0])));
    };
    auto view = model.observeChanges([&] { note("changed:", model.list); });
    auto a = model.list.subscribe([&](const auto& v) { note("a:", v); }); // at once
    auto b = model.list.subscribe([&](const auto& v) { note("b:", v); });
    model.list = {7};
    model.list = {7}; // equal values publish too
    const int* storage = model.list.get().data();
    model.list.modify([](std::vector<int>& v) { v[0] = 8; });
    EXPECT_EQ(model.list.get().data(), storage); // in place: no copy
    EXPECT_EQ(trace, (std::vector<std::string>{"a:-", "b:-", "changed:7", "a:7", "b:7", "changed:7",
                                               "a:7", "b:7", "changed:8", "a:8", "b:8"}));
}

TEST(Observable, NestedChangesStandAndEveryoneSeesOnlyTheStoredValue) {
    Model model;
    auto rewriter = model.list.subscribe([&](const std::vector<int>& v) {
        if (!v.empty() && v.back() > 0)
            model.list.modify([](std::vector<int>& w) { w.back() = -w.back(); });
    });
    std::vector<std::vector<int>> seen;
    Subscription late; // added mid-delivery: called once, at once
    auto later = model.list.subscribe([&](const auto& v) {
        seen.push_back(v);
        if (seen.size() == 2)
            late = model.list.subscribe([&](const auto& w) { seen.push_back(w); });
    });
    model.list = {1, 5};
    EXPECT_EQ(seen, (std::vector<std::vector<int>>{{}, {1, -5}, {1, -5}, {1, -5}}));
}

TEST(Observable, TokensEndSubscriptionsMidDeliveryAndMayOutliveThePublisher) {
    Subscription self, other, view;
    int calls = 0;
    {
        Model model;
        self = model.list.subscribe([&](const auto& v) {
            calls += 1;
            if (!v.empty())
                self.reset(), other.reset(); // its own token, and one not yet called
        });
        other = model.list.subscribe([&](const auto& v) { calls += v.empty() ? 10 : 100; });
        view = model.observeChanges([] {});
        model.list = {1};
        model.list = {2};
        EXPECT_EQ(calls, 12);
        EXPECT_EQ(model.list.subscriberCount(), 0u);
    }
    view.reset();
}

} // namespace
} // namespace vornix
