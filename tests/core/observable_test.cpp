#include "core/observable.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vornix {
namespace {

struct Model : ObservableObject {
    Published<std::vector<int>> list{*this, {}};
};

TEST(Observable, PublishesStoreThenViewsThenSubscribersAndTokensEndSubscriptions) {
    Model model;
    std::vector<std::string> trace;
    auto note = [&](const char* who, const std::vector<int>& v) {
        trace.push_back(who + (v.empty() ? std::string("-") : std::to_string(v[0])));
    };
    Subscription a, b;
    auto view = model.observeChanges([&] { note("changed:", model.list); });
    a = model.list.subscribe([&](const auto& v) {
        note("a:", v); // at once, then on every publication
        if (!v.empty() && v[0] == 9)
            a.reset(), b.reset(); // mid-delivery: itself and one not yet called
    });
    b = model.list.subscribe([&](const auto& v) { note("b:", v); });
    model.list = {7};
    model.list = {7}; // equal values publish too
    const int* storage = model.list.get().data();
    model.list.modify([](std::vector<int>& v) { v[0] = 9; });
    EXPECT_EQ(model.list.get().data(), storage); // in place: no copy
    model.list = {9};
    EXPECT_EQ(trace, (std::vector<std::string>{"a:-", "b:-", "changed:7", "a:7", "b:7", "changed:7",
                                               "a:7", "b:7", "changed:9", "a:9", "changed:9"}));
    EXPECT_EQ(model.list.subscriberCount(), 0u);
    view = std::make_unique<Model>()->observeChanges([] {}); // outlives its publisher
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

} // namespace
} // namespace vornix
