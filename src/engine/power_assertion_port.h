#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vornix {

/// The system's power-management assertions. Called on the main thread only.
class PowerAssertionPort {
public:
    virtual ~PowerAssertionPort() = default;

    /// Takes an assertion of `type` at `level`, shown to the user as `name`. Returns the
    /// system's identifier for it, or nothing when the system refused or could not be asked;
    /// a refusal is not an error and is never retried. Returns within a short, bounded time.
    virtual std::optional<std::uint32_t> create(std::string_view type, std::uint32_t level,
                                                std::string_view name) = 0;

    /// Gives back an assertion that `create` returned. Never fails as far as the caller can
    /// tell: whatever goes wrong, the assertion counts as released.
    virtual void release(std::uint32_t id) = 0;
};

} // namespace vornix
