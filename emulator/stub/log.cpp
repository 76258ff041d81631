// Levelled, tagged logging with a per-tag level list and a 31-entry cache keyed by tag pointer.
//
// The cache is a min-heap ordered by generation: lookups by pointer identity are cheap, a
// miss walks the string-compared list of explicitly set tags. One process-wide lock guards the
// levels and the output function; it is held for the lookup only, and every line is written to
// standard output with a single write so lines from different threads never mix.
//
// Line sinks sit in front of the output function: while one is added, each message is formatted
// once more, cut into lines and handed to the sinks under a lock of their own.
#include "log.h"

#include <assert.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

// ---------------------------------------------------------------- lock

static std::mutex *s_lock;
static bool s_lock_init;

void esp_log_impl_lock(void) {
    // Created on first use; the first log line is written during single-threaded start-up.
    if (!s_lock_init) {
        static std::mutex lock;
        s_lock = &lock;
        s_lock_init = true;
    }
    s_lock->lock();
}

bool esp_log_impl_lock_timeout(void) {
    esp_log_impl_lock();
    return true;
}

void esp_log_impl_unlock(void) {
    s_lock->unlock();
}

// ---------------------------------------------------------------- state

struct uncached_tag_entry_ {
    uncached_tag_entry_ *entries;
    uint8_t level;
    char tag[];  // the tag text, stored in the same allocation
};

struct cached_tag_entry_t {
    const char *tag;
    uint32_t level : 3;
    uint32_t generation : 29;
};

static const uint32_t TAG_CACHE_SIZE = 31;

static esp_log_level_t esp_log_default_level = ESP_LOG_INFO;
static vprintf_like_t s_log_print_func = &log_stdout_vprintf;
static uncached_tag_entry_ *s_log_tags;
static cached_tag_entry_t s_log_cache[TAG_CACHE_SIZE];
static uint32_t s_log_cache_entry_count;
static uint32_t s_log_cache_max_generation;
static uint32_t s_log_cache_misses;

std::string log_escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = (unsigned char)ch;
        if (c >= 0x20 && c != 0x7F) {
            out += ch;
            continue;
        }
        static const char hex[] = "0123456789abcdef";
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// The length of a message without the line ends it closes with, and whether any control
// character comes before them: a file name that holds an escape sequence or a line feed must
// neither drive the terminal nor begin a line of its own.
static bool needs_escape(const char *text, size_t n, size_t *body) {
    while (n > 0 && text[n - 1] == '\n')
        n--;
    *body = n;
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

// Writes one formatted message with a single write, its control characters escaped.
static void write_message(const char *text, size_t n) {
    size_t body;
    if (!needs_escape(text, n, &body)) {
        fwrite(text, 1, n, stdout);
        return;
    }
    std::string escaped = log_escape_controls(std::string_view(text, body));
    escaped.append(text + body, n - body);
    fwrite(escaped.data(), 1, escaped.size(), stdout);
}

int log_stdout_vprintf(const char *format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return n;
    if ((size_t)n < sizeof small) {
        write_message(small, (size_t)n);
    } else {
        char *big = (char *)malloc((size_t)n + 1);
        if (big == nullptr) return -1;
        vsnprintf(big, (size_t)n + 1, format, args);
        write_message(big, (size_t)n);
        free(big);
    }
    fflush(stdout);
    return n;
}

uint32_t log_cache_entry_count() {
    return s_log_cache_entry_count;
}
uint32_t log_cache_misses() {
    return s_log_cache_misses;
}

// ---------------------------------------------------------------- cache

static void heap_swap(int i, int j) {
    cached_tag_entry_t tmp = s_log_cache[i];
    s_log_cache[i] = s_log_cache[j];
    s_log_cache[j] = tmp;
}

// The moved entry carries the newest generation, so it sinks all the way to a leaf.
static void heap_bubble_down(int index) {
    while (index < (int)TAG_CACHE_SIZE / 2) {
        int left = index * 2 + 1;
        int right = left + 1;
        int next = (s_log_cache[left].generation < s_log_cache[right].generation) ? left : right;
        heap_swap(index, next);
        index = next;
    }
}

static void check_heap_order(uint32_t i) {
    assert(i == 0 || s_log_cache[(i - 1) / 2].generation < s_log_cache[i].generation);
    (void)i;
}

static bool get_cached_log_level(const char *tag, esp_log_level_t *level) {
    for (uint32_t i = 0; i < s_log_cache_entry_count; ++i) {
        check_heap_order(i);
        if (s_log_cache[i].tag == tag) {
            *level = (esp_log_level_t)s_log_cache[i].level;
            if (s_log_cache_entry_count == TAG_CACHE_SIZE) {
                s_log_cache[i].generation = s_log_cache_max_generation++;
                heap_bubble_down((int)i);
            }
            return true;
        }
    }
    return false;
}

static bool get_uncached_log_level(const char *tag, esp_log_level_t *level) {
    for (uncached_tag_entry_ *it = s_log_tags; it != nullptr; it = it->entries) {
        if (strcmp(tag, it->tag) == 0) {
            *level = (esp_log_level_t)it->level;
            return true;
        }
    }
    return false;
}

static void add_to_cache(const char *tag, esp_log_level_t level) {
    uint32_t generation = s_log_cache_max_generation++;
    if (s_log_cache_entry_count < TAG_CACHE_SIZE) {
        s_log_cache[s_log_cache_entry_count] = {tag, (uint32_t)level, generation};
        ++s_log_cache_entry_count;
        return;
    }
    // Overwrite the root, which holds the oldest generation.
    s_log_cache[0] = {tag, (uint32_t)level, generation};
    heap_bubble_down(0);
}

// Called with the lock held; releases it.
static esp_log_level_t s_log_level_get_and_unlock(const char *tag) {
    esp_log_level_t level;
    if (!get_cached_log_level(tag, &level)) {
        if (!get_uncached_log_level(tag, &level)) level = esp_log_default_level;
        add_to_cache(tag, level);
        s_log_cache_misses++;
    }
    esp_log_impl_unlock();
    return level;
}

static void clear_log_level_list() {
    uncached_tag_entry_ *it = s_log_tags;
    while (it != nullptr) {
        uncached_tag_entry_ *next = it->entries;
        free(it);
        it = next;
    }
    s_log_tags = nullptr;
    s_log_cache_entry_count = 0;
    s_log_cache_max_generation = 0;
    s_log_cache_misses = 0;
}

// ---------------------------------------------------------------- interface

static bool should_output(esp_log_level_t level_for_message, esp_log_level_t level_for_tag) {
    return level_for_message <= level_for_tag;
}

void esp_log_level_set(const char *tag, esp_log_level_t level) {
    esp_log_impl_lock();
    if (strcmp(tag, "*") == 0) {
        esp_log_default_level = level;
        clear_log_level_list();
        esp_log_impl_unlock();
        return;
    }
    uncached_tag_entry_ *found = nullptr;
    for (uncached_tag_entry_ *it = s_log_tags; it != nullptr; it = it->entries) {
        if (strcmp(it->tag, tag) == 0) {
            found = it;
            break;
        }
    }
    if (found != nullptr) {
        found->level = (uint8_t)level;
    } else {
        size_t len = strlen(tag) + 1;
        auto *entry = (uncached_tag_entry_ *)malloc(sizeof(uncached_tag_entry_) + len);
        if (entry == nullptr) {
            esp_log_impl_unlock();
            return;
        }
        entry->level = (uint8_t)level;
        memcpy(entry->tag, tag, len);
        entry->entries = s_log_tags;
        s_log_tags = entry;
    }
    for (uint32_t i = 0; i < s_log_cache_entry_count; ++i) {
        check_heap_order(i);
        if (strcmp(s_log_cache[i].tag, tag) == 0) s_log_cache[i].level = (uint32_t)level & 7;
    }
    esp_log_impl_unlock();
}

esp_log_level_t esp_log_level_get(const char *tag) {
    esp_log_impl_lock();
    return s_log_level_get_and_unlock(tag);
}

vprintf_like_t esp_log_set_vprintf(vprintf_like_t func) {
    esp_log_impl_lock();
    vprintf_like_t previous = s_log_print_func;
    s_log_print_func = func;
    esp_log_impl_unlock();
    return previous;
}

// ---------------------------------------------------------------- line sinks

bool log_parse_line(const std::string &raw, log_line *out) {
    out->raw = raw;
    const size_t close = raw.find(") ");
    const size_t colon = close == std::string::npos ? std::string::npos : raw.find(": ", close + 2);
    int64_t ms = 0;
    // The time stamp is digits only; from_chars would also take a sign.
    const bool stamp = raw.size() > 3 && raw[1] == ' ' && raw[2] == '(' && close > 3 &&
                       close != std::string::npos && isdigit((unsigned char)raw[3]) &&
                       std::from_chars(raw.data() + 3, raw.data() + close, ms).ptr == raw.data() + close;
    if (stamp && colon != std::string::npos) {
        out->level = raw[0];
        out->ms = ms;
        out->tag = raw.substr(close + 2, colon - close - 2);
        out->text = raw.substr(colon + 2);
        return true;
    }
    out->level = 0;
    out->ms = 0;
    out->tag.clear();
    out->text = raw;
    return false;
}

namespace {

struct log_sink {
    log_sink_id id;
    std::function<void(const log_line &)> on_line;
    log_sink_mode mode;
    std::thread::id owner;  // the thread that added it
};

struct sink_list {
    std::mutex lock;
    std::vector<log_sink> sinks;  // in the order added
    std::string partial;          // what was written after the last line end
    log_sink_id next_id = 1;
};

// Never destroyed: a firmware thread may still log while the process ends.
sink_list &sinks() {
    static sink_list *list = new sink_list;
    return *list;
}

// Sinks added; while there are none, the log does no more than write its output.
std::atomic<size_t> s_sink_count{0};

std::string format_message(const char *format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if ((size_t)n < sizeof small) return std::string(small, (size_t)n);
    std::string text((size_t)n + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize((size_t)n);
    return text;
}

// Hands the complete lines of one message to the sinks, the one added last first; false when a
// sink keeps them from the output.
bool deliver(const char *format, va_list args) {
    std::string text = format_message(format, args);
    // The sinks see the lines the output shows: one line per message, controls escaped.
    size_t body;
    if (needs_escape(text.data(), text.size(), &body))
        text = log_escape_controls(std::string_view(text).substr(0, body)) + text.substr(body);
    sink_list &list = sinks();
    std::lock_guard<std::mutex> lock(list.lock);
    // The decision depends on the writing thread only: the same for every line of the message.
    size_t first = 0;  // the oldest sink that gets the lines
    bool pass_on = true;
    const std::thread::id self = std::this_thread::get_id();
    for (size_t i = list.sinks.size(); i-- > 0;) {
        const log_sink &s = list.sinks[i];
        if (s.mode == log_sink_mode::keep_all ||
            (s.mode == log_sink_mode::keep_own_thread && s.owner == self)) {
            first = i;
            pass_on = false;
            break;
        }
    }
    list.partial += text;
    size_t end;
    while ((end = list.partial.find('\n')) != std::string::npos) {
        log_line line;
        log_parse_line(list.partial.substr(0, end), &line);
        list.partial.erase(0, end + 1);
        for (size_t i = list.sinks.size(); i-- > first;)
            list.sinks[i].on_line(line);
    }
    return pass_on;
}

}  // namespace

log_sink_id log_sink_add(std::function<void(const log_line &)> on_line, log_sink_mode mode) {
    sink_list &list = sinks();
    std::lock_guard<std::mutex> lock(list.lock);
    const log_sink_id id = list.next_id++;
    list.sinks.push_back({id, std::move(on_line), mode, std::this_thread::get_id()});
    s_sink_count.store(list.sinks.size(), std::memory_order_release);
    return id;
}

void log_sink_remove(log_sink_id id) {
    sink_list &list = sinks();
    std::lock_guard<std::mutex> lock(list.lock);
    for (size_t i = 0; i < list.sinks.size(); i++) {
        if (list.sinks[i].id != id) continue;
        list.sinks.erase(list.sinks.begin() + (long)i);
        break;
    }
    if (list.sinks.empty()) list.partial.clear();
    s_sink_count.store(list.sinks.size(), std::memory_order_release);
}

// ---------------------------------------------------------------- writing

void esp_log_writev(esp_log_level_t level, const char *tag, const char *format, va_list args) {
    if (!esp_log_impl_lock_timeout()) return;
    vprintf_like_t print = s_log_print_func;
    esp_log_level_t level_for_tag = s_log_level_get_and_unlock(tag);
    if (!should_output(level, level_for_tag)) return;
    if (s_sink_count.load(std::memory_order_acquire) != 0) {
        va_list copy;
        va_copy(copy, args);
        const bool pass_on = deliver(format, copy);
        va_end(copy);
        if (!pass_on) return;
    }
    print(format, args);
}

void esp_log_write(esp_log_level_t level, const char *tag, const char *format, ...) {
    va_list list;
    va_start(list, format);
    esp_log_writev(level, tag, format, list);
    va_end(list);
}
