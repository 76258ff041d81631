#include "kept_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <fstream>
#include <iterator>

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

// Reads a namespace file into `image`. Returns why the file is refused (and leaves `image`
// empty), or nothing.
static std::string decode(const std::vector<uint8_t> &file, KeptStore::Image *image) {
    image->clear();
    if (file.size() >= sizeof MAGIC && memcmp(file.data(), MAGIC, sizeof MAGIC) != 0) {
        return "is not a store file of this program";
    }
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

int state_write_file(const std::string &dir, const std::string &name, const std::vector<uint8_t> &bytes,
                     std::string *error) {
    const std::string path = dir + "/" + name;
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int saved = errno;
        *error = tmp + ": " + error_text(saved);
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
    ::close(fd);
    if (saved == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) saved = errno;
    if (saved != 0) {
        *error = path + ": " + error_text(saved);
        ::unlink(tmp.c_str());
        return saved;
    }
    int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return 0;
}

KeptStore::~KeptStore() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool KeptStore::open_dir(const std::string &dir, std::string *error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
        *error = "cannot use the state folder '" + dir + "': " + (ec ? ec.message() : "not a folder");
        return false;
    }
    const std::string lock_path = dir + "/lock";
    lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        *error = "cannot use the state folder '" + dir + "': " + error_text(errno);
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
    return true;
}

KeptStore::Namespace &KeptStore::load_locked(const std::string &name_space) {
    auto found = spaces_.find(name_space);
    if (found != spaces_.end()) return found->second;
    Namespace &ns = spaces_[name_space];
    if (dir_.empty()) return ns;  // in memory only
    const std::string name = name_space + ".nvs";
    const std::string path = dir_ + "/" + name;
    // A temporary file left by a process that was killed while writing: the file it was to
    // replace is still whole.
    ::unlink((path + ".tmp").c_str());
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return ns;  // nothing stored yet
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string why;
    // A file that cannot be read is set aside like a damaged one rather than overwritten.
    if (!in.is_open() || in.bad()) {
        why = "cannot be read";
    } else {
        why = decode(bytes, &ns.image);
    }
    if (!why.empty()) {
        const bool kept = ::rename(path.c_str(), (path + ".bad").c_str()) == 0;
        ESP_LOGW(TAG, "%s %s: %s; starting from the factory state", path.c_str(), why.c_str(),
                 kept ? ("moved aside to " + name + ".bad").c_str() : "it will be replaced");
    }
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
    {
        std::lock_guard<std::mutex> lock(write_mutex_);
        // A later commit of the namespace that reached the disk first holds these values too.
        if (written_[name_space] < generation) {
            std::string error;
            if (const int err = state_write_file(dir_, name_space + ".nvs", bytes, &error); err != 0) {
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
