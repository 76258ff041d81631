#include "kept_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "esp_log.h"

namespace fs = std::filesystem;

static const char *TAG = "STATE";

// File layout, little-endian: magic, u32 version, u32 length of the entries, the entries, u32
// CRC-32 of everything before it. Entry: u8 kind, u8 key length, key, u32 value length, value.
static const char MAGIC[8] = {'D', 'C', 'C', 'E', 'M', 'U', 'K', 'V'};
static constexpr uint32_t VERSION = 1;
static constexpr size_t HEADER_SIZE = sizeof MAGIC + 4 + 4;
static constexpr size_t MAX_NAME_LEN = 15;          // as the decoder's store allows
static constexpr size_t MAX_BLOB_LEN = 512 * 1024;  // far above the firmware's largest (6600)
// Damaged files kept aside per namespace: enough to compare, too few to fill a disk.
static constexpr int MAX_BAD_KEPT = 10;

// strerror() may share one buffer between threads; commits come from several.
static std::string error_text(int error_number) {
    return std::generic_category().message(error_number);
}

static void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
}

static uint32_t get32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint32_t crc_of(const uint8_t *data, size_t len) {
    return (uint32_t)crc32(crc32(0L, Z_NULL, 0), data, (uInt)len);
}

static size_t fixed_size(NvsType type) {
    switch (type) {
        case NvsType::U8:
        case NvsType::I8:
            return 1;
        case NvsType::U16:
            return 2;
        case NvsType::U32:
            return 4;
        case NvsType::Blob:
            return 0;
    }
    return 0;
}

static bool known_type(uint8_t t) {
    return t >= (uint8_t)NvsType::U8 && t <= (uint8_t)NvsType::Blob;
}

// Numbers are kept little-endian in memory and on disk, whatever the host.
static void to_little_endian(uint8_t *bytes, size_t size) {
    if constexpr (std::endian::native == std::endian::big) std::reverse(bytes, bytes + size);
}

static std::vector<uint8_t> encode(const KeptStore::Image &image) {
    std::vector<uint8_t> out(MAGIC, MAGIC + sizeof MAGIC);
    put32(out, VERSION);
    put32(out, 0);  // length of the entries, filled in below
    for (const auto &[key, value] : image) {
        out.push_back((uint8_t)value.type);
        out.push_back((uint8_t)key.size());
        out.insert(out.end(), key.begin(), key.end());
        put32(out, (uint32_t)value.bytes.size());
        out.insert(out.end(), value.bytes.begin(), value.bytes.end());
    }
    const uint32_t body = (uint32_t)(out.size() - HEADER_SIZE);
    for (int i = 0; i < 4; i++)
        out[sizeof MAGIC + 4 + i] = (uint8_t)(body >> (8 * i));
    put32(out, crc_of(out.data(), out.size()));
    return out;
}

std::string kept_store_decode(const std::vector<uint8_t> &file, KeptStore::Image *image) {
    image->clear();
    if (file.size() >= sizeof MAGIC && memcmp(file.data(), MAGIC, sizeof MAGIC) != 0) {
        return "is not a store file of this program";
    }
    if (file.size() > KEPT_STORE_MAX_FILE) return "is damaged (larger than a store can be)";
    if (file.size() < HEADER_SIZE + 4) return "is damaged (cut short)";
    // The frame (magic, version, length, checksum) is the same in every version of the format.
    const uint32_t body = get32(&file[sizeof MAGIC + 4]);
    if ((uint64_t)body + HEADER_SIZE + 4 != file.size()) return "is damaged (its length does not match)";
    const size_t end = HEADER_SIZE + body;
    if (get32(&file[end]) != crc_of(file.data(), end)) return "is damaged (checksum mismatch)";
    const uint32_t version = get32(&file[sizeof MAGIC]);
    if (version != VERSION) {
        return "was written by another version of the program (format " + std::to_string(version) + ")";
    }
    for (size_t p = HEADER_SIZE; p < end;) {
        // The checksum matched, so a bad entry means a writer that is not this program.
        if (end - p < 2 || !known_type(file[p]) || file[p + 1] == 0 || file[p + 1] > MAX_NAME_LEN ||
            end - p - 2 < (size_t)file[p + 1] + 4) {
            image->clear();
            return "holds an entry this program cannot read";
        }
        const NvsType type = (NvsType)file[p];
        std::string key((const char *)&file[p + 2], file[p + 1]);
        p += 2 + key.size();
        const uint32_t len = get32(&file[p]);
        p += 4;
        if (len > end - p || (fixed_size(type) != 0 && len != fixed_size(type)) || image->count(key) != 0) {
            image->clear();
            return "holds an entry this program cannot read";
        }
        (*image)[key] = {type, std::vector<uint8_t>(file.begin() + (long)p, file.begin() + (long)(p + len))};
        p += len;
    }
    return "";
}

int KeptStore::write_file(const std::string &name, const std::vector<uint8_t> &bytes, std::string *error) {
    std::lock_guard<std::mutex> lock(file_mutex_);
    const std::string path = dir_ + "/" + name;
    const std::string tmp = name + ".tmp";
    // Whatever is at the temporary's name (a leftover, or a link someone planted) is removed,
    // not written through: the temporary is always a file of our own making.
    ::unlinkat(dir_fd_, tmp.c_str(), 0);
    int fd = ::openat(dir_fd_, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int saved = errno;
        *error = path + ".tmp: " + error_text(saved);
        return saved;
    }
    size_t done = 0;
    errno = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    // The data must be on the disk before the rename makes it the file's content: otherwise a
    // power cut could leave the new name on an empty file.
    int saved = 0;
    if (done != bytes.size() || ::fsync(fd) != 0) saved = errno != 0 ? errno : EIO;
    if (::close(fd) != 0 && saved == 0) saved = errno;
    // rename() replaces a link at the name itself, never what it points to.
    if (saved == 0 && ::renameat(dir_fd_, tmp.c_str(), dir_fd_, name.c_str()) != 0) saved = errno;
    if (saved != 0) {
        *error = path + ": " + error_text(saved);
        ::unlinkat(dir_fd_, tmp.c_str(), 0);
        return saved;
    }
    ::fsync(dir_fd_);
    return 0;
}

int KeptStore::read_file(const std::string &name, size_t limit, std::vector<uint8_t> *bytes,
                         std::string *error) {
    bytes->clear();
    // O_NONBLOCK: a FIFO at the name must not hang the start; it is refused below.
    int fd = ::openat(dir_fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int saved = 0;
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        saved = errno;
    } else if (!S_ISREG(st.st_mode)) {
        saved = EINVAL;
    } else {
        bytes->resize(std::min<uint64_t>((uint64_t)st.st_size, limit) + 1);
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) saved = errno;
            if (n <= 0) break;
            done += (size_t)n;
        }
        bytes->resize(done);
    }
    if (fd >= 0) ::close(fd);
    if (saved != 0) {
        bytes->clear();
        // O_NOFOLLOW refuses a link with ELOOP, whose own text ("too many levels") misleads.
        *error = saved == ELOOP    ? "it is a symbolic link"
                 : saved == EINVAL ? "it is not a regular file"
                                   : error_text(saved);
    }
    return saved;
}

void KeptStore::remove_file(const std::string &name) {
    ::unlinkat(dir_fd_, name.c_str(), 0);
}

KeptStore::~KeptStore() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

// Removes the temporary files a process killed while writing left behind: the files they were
// to replace are still whole. With the folder locked, no other process is writing them.
static void remove_stale_temporaries(int dir_fd) {
    const int fd = ::dup(dir_fd);
    DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0) ::close(fd);
        return;
    }
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        const std::string tmp = ".nvs.tmp";
        const bool store_tmp =
            name.size() > tmp.size() && name.compare(name.size() - tmp.size(), tmp.size(), tmp) == 0;
        if (store_tmp || name == "slot_files.tmp") ::unlinkat(dir_fd, name.c_str(), 0);
    }
    ::closedir(d);
}

bool KeptStore::open_dir(const std::string &dir, std::string *error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string cannot = "cannot use the state folder '" + dir + "': ";
    if (ec) {
        *error = cannot + ec.message();
        return false;
    }
    // Everything below goes through this descriptor, so the folder checked is the folder used.
    // DIR itself may be a link (to a folder of the user's elsewhere): it is the folder it
    // leads to that must be the user's.
    dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (dir_fd_ < 0 || ::fstat(dir_fd_, &st) != 0) {
        *error = cannot + (errno == ENOTDIR ? std::string("not a folder") : error_text(errno));
        return false;
    }
    // Whoever owns the folder can plant files and links in it and read what is kept there (a
    // folder made under /tmp by another user, say).
    if (st.st_uid != ::geteuid()) {
        *error = "the state folder '" + dir + "' belongs to another user: use a folder of your own";
        return false;
    }
    // A link at the lock's name is refused rather than removed: an older emulator may have
    // locked what it points to.
    lock_fd_ = ::openat(dir_fd_, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (lock_fd_ < 0 || ::fstat(lock_fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = cannot + (lock_fd_ < 0 && errno == ELOOP ? "its lock file is a symbolic link"
                           : lock_fd_ < 0                 ? error_text(errno)
                                                          : "its lock file is not a regular file");
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        char pid[32] = {};
        ssize_t n = ::pread(lock_fd_, pid, sizeof pid - 1, 0);
        ::close(lock_fd_);
        lock_fd_ = -1;
        if (saved == EWOULDBLOCK) {
            std::string holder = n > 0 ? std::string(pid, strcspn(pid, "\n")) : "";
            *error = "the state folder '" + dir + "' is in use by another emulator" +
                     (holder.empty() ? "" : " (process " + holder + ")");
        } else {
            *error = "cannot lock the state folder '" + dir + "': " + error_text(saved);
        }
        return false;
    }
    // The holder's process id, for the message of a second emulator.
    const std::string pid = std::to_string(::getpid()) + "\n";
    // A failure here only costs a second process's message the id; the lock holds.
    (void)!::ftruncate(lock_fd_, 0);
    (void)!::pwrite(lock_fd_, pid.data(), pid.size(), 0);
    dir_ = dir;
    remove_stale_temporaries(dir_fd_);
    return true;
}

KeptStore::Namespace &KeptStore::load_locked(const std::string &name_space) {
    auto found = spaces_.find(name_space);
    if (found != spaces_.end()) return found->second;
    Namespace &ns = spaces_[name_space];
    if (dir_.empty()) return ns;  // in memory only
    const std::string name = name_space + ".nvs";
    const std::string path = dir_ + "/" + name;
    std::vector<uint8_t> bytes;
    std::string why;
    const int err = read_file(name, KEPT_STORE_MAX_FILE, &bytes, &why);
    if (err == ENOENT) return ns;  // nothing stored yet
    // A file that cannot be read is set aside like a damaged one rather than overwritten.
    why = err != 0 ? "cannot be read (" + why + ")" : kept_store_decode(bytes, &ns.image);
    if (why.empty()) return ns;
    // Each damaged file is kept (the user may want to compare them), up to a bound.
    std::string kept;
    for (int i = 1; i <= MAX_BAD_KEPT && kept.empty(); i++) {
        const std::string aside = name + ".bad" + (i > 1 ? "-" + std::to_string(i) : "");
        struct stat st;
        if (::fstatat(dir_fd_, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) continue;
        if (::renameat(dir_fd_, name.c_str(), dir_fd_, aside.c_str()) != 0) break;
        kept = aside;
    }
    const std::string fate =
        !kept.empty() ? "moved aside to " + kept
                      : std::to_string(MAX_BAD_KEPT) + " damaged files are kept already (" + name +
                            ".bad ... .bad-" + std::to_string(MAX_BAD_KEPT) + "): it will be replaced";
    ESP_LOGW(TAG, "%s %s: %s; starting from the factory state", path.c_str(), why.c_str(), fate.c_str());
    return ns;
}

KeptStore::Handle *KeptStore::handle_locked(nvs_handle_t handle) {
    auto found = handles_.find(handle);
    return found == handles_.end() ? nullptr : &found->second;
}

std::optional<std::vector<uint8_t>> KeptStore::read(const std::string &name_space, const std::string &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Image &image = load_locked(name_space).image;
    auto found = image.find(key);
    if (found == image.end()) return std::nullopt;
    return found->second.bytes;
}

// Namespace names become file names: letters, digits, '_' and '-' only.
static bool valid_namespace(const char *name) {
    if (name == nullptr) return false;
    const size_t len = strlen(name);
    if (len == 0 || len > MAX_NAME_LEN) return false;
    return std::all_of(name, name + len,
                       [](char c) { return isalnum((unsigned char)c) || c == '_' || c == '-'; });
}

static esp_err_t check_key(const char *key) {
    if (key == nullptr || key[0] == 0) return ESP_ERR_NVS_INVALID_NAME;
    return strlen(key) > MAX_NAME_LEN ? ESP_ERR_NVS_KEY_TOO_LONG : ESP_OK;
}

esp_err_t KeptStore::open(const char *name_space, nvs_open_mode_t mode, nvs_handle_t *out_handle) {
    if (out_handle == nullptr) return ESP_ERR_INVALID_ARG;
    if (!valid_namespace(name_space)) return ESP_ERR_NVS_INVALID_NAME;
    std::lock_guard<std::mutex> lock(mutex_);
    load_locked(name_space);
    nvs_handle_t id = next_handle_++;
    if (next_handle_ == 0) next_handle_ = 1;
    handles_[id] = Handle{name_space, mode == NVS_READWRITE, {}};
    *out_handle = id;
    return ESP_OK;
}

void KeptStore::close(nvs_handle_t handle) {
    // Writes that were not committed are dropped, as the decoder's store may drop them.
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.erase(handle);
}

esp_err_t KeptStore::get(nvs_handle_t handle, const char *key, NvsType type, void *out, size_t *length) {
    if (esp_err_t err = check_key(key); err != ESP_OK) return err;
    if (length == nullptr) return ESP_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(mutex_);
    Handle *h = handle_locked(handle);
    if (h == nullptr) return ESP_ERR_NVS_INVALID_HANDLE;
    const Value *value = nullptr;
    if (auto p = h->pending.find(key); p != h->pending.end()) {
        if (p->second) value = &*p->second;
    } else {
        const Image &image = spaces_[h->name_space].image;
        if (auto c = image.find(key); c != image.end()) value = &c->second;
    }
    if (value == nullptr && dir_.empty()) return ESP_OK;  // in memory: as the inert store (see kept_store.h)
    if (value == nullptr || value->type != type) return ESP_ERR_NVS_NOT_FOUND;
    if (type == NvsType::Blob) {
        if (out != nullptr) {
            if (*length < value->bytes.size()) return ESP_ERR_NVS_INVALID_LENGTH;
            std::copy(value->bytes.begin(), value->bytes.end(), (uint8_t *)out);
        }
        *length = value->bytes.size();
        return ESP_OK;
    }
    if (out == nullptr || *length != value->bytes.size()) return ESP_ERR_INVALID_ARG;
    std::copy(value->bytes.begin(), value->bytes.end(), (uint8_t *)out);
    to_little_endian((uint8_t *)out, *length);
    return ESP_OK;
}

esp_err_t KeptStore::set(nvs_handle_t handle, const char *key, NvsType type, const void *value,
                         size_t length) {
    if (esp_err_t err = check_key(key); err != ESP_OK) return err;
    if (value == nullptr && length != 0) return ESP_ERR_INVALID_ARG;
    if (type == NvsType::Blob ? length > MAX_BLOB_LEN : length != fixed_size(type))
        return type == NvsType::Blob ? ESP_ERR_NVS_VALUE_TOO_LONG : ESP_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(mutex_);
    Handle *h = handle_locked(handle);
    if (h == nullptr) return ESP_ERR_NVS_INVALID_HANDLE;
    if (!h->writable) return ESP_ERR_NVS_READ_ONLY;
    Value v{type, std::vector<uint8_t>((const uint8_t *)value, (const uint8_t *)value + length)};
    if (type != NvsType::Blob) to_little_endian(v.bytes.data(), length);
    h->pending[key] = std::move(v);
    return ESP_OK;
}

esp_err_t KeptStore::erase_key(nvs_handle_t handle, const char *key) {
    if (esp_err_t err = check_key(key); err != ESP_OK) return err;
    std::lock_guard<std::mutex> lock(mutex_);
    Handle *h = handle_locked(handle);
    if (h == nullptr) return ESP_ERR_NVS_INVALID_HANDLE;
    if (!h->writable) return ESP_ERR_NVS_READ_ONLY;
    // Erasing a key that is not there succeeds: afterwards it is absent, which is what was
    // asked (a factory reset erases the volumes whether or not any were stored).
    h->pending[key] = std::nullopt;
    return ESP_OK;
}

esp_err_t KeptStore::commit(nvs_handle_t handle) {
    std::string name_space;
    std::vector<std::string> keys;
    std::vector<uint8_t> bytes;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Handle *h = handle_locked(handle);
        if (h == nullptr) return ESP_ERR_NVS_INVALID_HANDLE;
        if (h->pending.empty()) return ESP_OK;
        name_space = h->name_space;
        Namespace &ns = spaces_[name_space];
        for (auto &[key, value] : h->pending) {
            keys.push_back(key);
            if (value) {
                ns.image[key] = std::move(*value);
            } else {
                ns.image.erase(key);
            }
        }
        h->pending.clear();
        if (dir_.empty()) return ESP_OK;  // in memory only
        bytes = encode(ns.image);
        generation = ++ns.generation;
    }
    if (bytes.size() > KEPT_STORE_MAX_FILE) {
        // As a full store on the decoder: the values stay in memory and are not kept.
        ESP_LOGE(TAG, "Cannot keep the stored values: %s/%s.nvs would be larger than a store can be",
                 dir_.c_str(), name_space.c_str());
        return ESP_ERR_NVS_NOT_ENOUGH_SPACE;
    }
    {
        std::lock_guard<std::mutex> lock(write_mutex_);
        // A later commit of the namespace that reached the disk first holds these values too.
        if (written_[name_space] < generation) {
            std::string error;
            if (const int err = write_file(name_space + ".nvs", bytes, &error); err != 0) {
                const bool full = err == ENOSPC || err == EDQUOT;
                // The values stay in memory; the next commit that succeeds writes them as well.
                ESP_LOGE(TAG, "Cannot keep the stored values: %s", error.c_str());
                return full ? ESP_ERR_NVS_NOT_ENOUGH_SPACE : ESP_FAIL;
            }
            written_[name_space] = generation;
        }
    }
    if (hook_) hook_(name_space, keys);
    return ESP_OK;
}
