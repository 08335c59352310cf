#include "platform/linux/mount_table.h"

#include "platform/linux/diagnostics.h"

#include <libmount/libmount.h>

#include <cerrno>
#include <string_view>

namespace vornix::linux_platform {

namespace {

struct TableDeleter {
    void operator()(libmnt_table* t) const { mnt_unref_table(t); }
};
struct IterDeleter {
    void operator()(libmnt_iter* i) const { mnt_free_iter(i); }
};
using Table = std::unique_ptr<libmnt_table, TableDeleter>;
using Iter = std::unique_ptr<libmnt_iter, IterDeleter>;

void appendOptions(std::string& out, const char* options) {
    if (!options || !*options)
        return;
    if (!out.empty())
        out += ',';
    out += options;
}

} // namespace

std::optional<std::vector<MountEntry>> readMountTable(bool userOptions) {
    Table table(mnt_new_table());
    Iter iter(mnt_new_iter(MNT_ITER_FORWARD));
    if (!table || !iter)
        return std::nullopt;
    const int parsed = userOptions ? mnt_table_parse_mtab(table.get(), nullptr)
                                   : mnt_table_parse_file(table.get(), "/proc/self/mountinfo");
    if (parsed != 0)
        return std::nullopt;
    std::vector<MountEntry> entries;
    entries.reserve(static_cast<std::size_t>(mnt_table_get_nents(table.get())));
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        MountEntry entry;
        entry.id = mnt_fs_get_id(fs);
        entry.device = mnt_fs_get_devno(fs);
        if (const char* target = mnt_fs_get_target(fs))
            entry.target = target;
        if (const char* source = mnt_fs_get_source(fs))
            entry.source = source;
        if (const char* root = mnt_fs_get_root(fs))
            entry.wholeFileSystem = std::string_view(root) == "/";
        if (const char* type = mnt_fs_get_fstype(fs))
            entry.fsType = type;
        appendOptions(entry.options, mnt_fs_get_vfs_options(fs));
        appendOptions(entry.options, mnt_fs_get_fs_options(fs));
        appendOptions(entry.options, mnt_fs_get_user_options(fs));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> fstabTargetsWithOption(const std::string& fstab,
                                                const std::string& option) {
    std::vector<std::string> targets;
    Table table(mnt_new_table());
    Iter iter(mnt_new_iter(MNT_ITER_FORWARD));
    if (!table || !iter || mnt_table_parse_fstab(table.get(), fstab.c_str()) != 0)
        return targets;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        const char* target = mnt_fs_get_target(fs);
        if (target && mnt_fs_get_option(fs, option.c_str(), nullptr, nullptr) == 0)
            targets.emplace_back(target);
    }
    return targets;
}

void MountTableMonitor::Deleter::operator()(libmnt_monitor* m) const {
    mnt_unref_monitor(m);
}

MountTableMonitor::MountTableMonitor() : monitor_(mnt_new_monitor()) {
    // libmount answers a negative error number. Nothing is opened before the fd is asked for.
    int result = monitor_ ? mnt_monitor_enable_kernel(monitor_.get(), 1) : -errno;
    if (result == 0)
        result = mnt_monitor_get_fd(monitor_.get());
    if (result >= 0)
        fd_ = result;
    else
        error_ = systemErrorText(-result);
}

MountTableMonitor::~MountTableMonitor() = default;

void MountTableMonitor::drain() {
    if (fd_ < 0)
        return;
    // Returns 1 once nothing is pending; it never blocks.
    while (mnt_monitor_next_change(monitor_.get(), nullptr, nullptr) == 0) {
    }
}

} // namespace vornix::linux_platform
