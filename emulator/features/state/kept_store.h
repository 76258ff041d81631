// The kept store of --state DIR: the platform's key-value store backed by files in DIR, so that
// CVs and the engine's stored state outlive the process.
//
// Each namespace is one file, DIR/<namespace>.nvs, loaded at the first open of the namespace and
// then served from memory. A commit rewrites the whole file through a temporary file, fsync and
// a rename, so a kill at any moment leaves the old or the new file, and the values of one commit
// (the slot description's two blobs) are kept together. The file starts with a magic, a version
// and ends with a CRC-32: a damaged or foreign file is reported once, moved aside to
// <namespace>.nvs.bad (then .bad-2 ... .bad-10; beyond that it is left to be replaced) and
// treated as absent. DIR/lock is held with flock() for the life of the process (the system
// releases it when the process dies), so a second process refuses DIR.
//
// DIR may be a folder others can write into (under /tmp, say): a folder owned by another user is
// refused, every file of the store is reached through the folder's descriptor and opened without
// following symbolic links, temporary files are created afresh (O_EXCL), and a file larger than
// a store can be is refused unread.
//
// Threads: NVS calls come from the tick thread, the console, the slot loader and the sound
// tasks. One mutex guards the loaded namespaces and the open handles; a second one lets a
// single writer at a time rewrite files, outside the first, so that reads never wait for a
// disk write; a third keeps two writes of the same temporary file (the slot-files record is
// written by the commit hook, outside the second) apart.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nvs_backend.h"

class KeptStore : public NvsBackend {
public:
    // Called after a commit reached the disk, on the committing thread, with the namespace and
    // the keys the commit wrote or erased.
    using CommitHook =
        std::function<void(const std::string &name_space, const std::vector<std::string> &keys)>;

    KeptStore() = default;
    ~KeptStore() override;
    KeptStore(const KeptStore &) = delete;
    KeptStore &operator=(const KeptStore &) = delete;

    // Without a folder (open_dir never called) the store lives in memory only, for the life of
    // the process, and a key never written reads as from the inert store (success, the caller's
    // variable untouched), so that a run without --state starts and logs as it always did.
    // Uses `dir`, creating it if missing, and locks it for this process. False with a message
    // for the user in `*error` when the folder cannot be made or used or another process holds it.
    bool open_dir(const std::string &dir, std::string *error);
    const std::string &dir() const { return dir_; }
    // Replaces DIR/NAME with `bytes` so that a kill at any moment leaves the old or the new
    // content: a temporary file, fsync, rename, fsync of the folder. Returns 0, or the error
    // number with the reason in `*error`.
    int write_file(const std::string &name, const std::vector<uint8_t> &bytes, std::string *error);
    // Reads DIR/NAME, at most `limit` + 1 bytes of it (so that a larger file is seen as such).
    // Returns 0, or the error number (ENOENT: no such file) with the reason in `*error`.
    int read_file(const std::string &name, size_t limit, std::vector<uint8_t> *bytes, std::string *error);
    void remove_file(const std::string &name);
    void set_commit_hook(CommitHook hook) { hook_ = std::move(hook); }
    // The committed bytes of a key (little-endian for numbers), or nothing.
    std::optional<std::vector<uint8_t>> read(const std::string &name_space, const std::string &key);

    esp_err_t open(const char *name_space, nvs_open_mode_t mode, nvs_handle_t *out_handle) override;
    void close(nvs_handle_t handle) override;
    esp_err_t commit(nvs_handle_t handle) override;
    esp_err_t erase_key(nvs_handle_t handle, const char *key) override;
    esp_err_t get(nvs_handle_t handle, const char *key, NvsType type, void *out, size_t *length) override;
    esp_err_t set(nvs_handle_t handle, const char *key, NvsType type, const void *value,
                  size_t length) override;

    // The values of one namespace, numbers little-endian.
    struct Value {
        NvsType type;
        std::vector<uint8_t> bytes;
    };
    using Image = std::map<std::string, Value>;

private:
    struct Namespace {
        Image image;
        uint64_t generation = 0;  // counts commits
    };
    struct Handle {
        std::string name_space;
        bool writable;
        std::map<std::string, std::optional<Value>> pending;  // nothing: erased
    };

    Namespace &load_locked(const std::string &name_space);
    Handle *handle_locked(nvs_handle_t handle);

    std::string dir_;
    int dir_fd_ = -1;
    int lock_fd_ = -1;
    std::mutex file_mutex_;  // one writer of a temporary file at a time
    std::mutex mutex_;
    std::map<std::string, Namespace> spaces_;
    std::map<nvs_handle_t, Handle> handles_;
    nvs_handle_t next_handle_ = 1;
    std::mutex write_mutex_;
    std::map<std::string, uint64_t> written_;  // generation on disk, per namespace (write_mutex_)
    CommitHook hook_;
};

// The largest file a store can be (far above the firmware's few kilobytes): a commit that would
// make a larger one is refused, and a larger file is taken for a damaged one.
constexpr size_t KEPT_STORE_MAX_FILE = 4 * 1024 * 1024;

// Reads the bytes of a namespace file into `image`. Returns why the file is refused (and leaves
// `image` empty), or an empty string.
std::string kept_store_decode(const std::vector<uint8_t> &file, KeptStore::Image *image);
