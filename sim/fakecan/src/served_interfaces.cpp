#include "served_interfaces.hpp"

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fakecan {
namespace {

constexpr int kMaxPatterns = 32;
constexpr const char* kDefaultBase = "/tmp/wenlo-fakecan";

struct Pattern {
    char text[IFNAMSIZ];
    bool prefix;  // written with a trailing '*'
};

struct Config {
    Pattern patterns[kMaxPatterns];
    int count = 0;
};

Config g_config;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// Names looked up in this process, so index_of can be inverted without touching the disk.
std::mutex g_seen_mutex;
char g_seen[64][IFNAMSIZ];
int g_seen_count = 0;

void load_config() {
    const char* list = std::getenv("WENLO_FAKECAN_IFACES");
    if (list == nullptr)
        return;
    const char* p = list;
    while (*p != '\0' && g_config.count < kMaxPatterns) {
        const char* end = std::strchr(p, ',');
        std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        while (len > 0 && p[0] == ' ')
            ++p, --len;
        while (len > 0 && p[len - 1] == ' ')
            --len;
        if (len > 0 && len < IFNAMSIZ) {
            Pattern& pat = g_config.patterns[g_config.count];
            pat.prefix = p[len - 1] == '*';
            std::memcpy(pat.text, p, pat.prefix ? len - 1 : len);
            pat.text[pat.prefix ? len - 1 : len] = '\0';
            ++g_config.count;
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }
}

const Config& config() {
    pthread_once(&g_once, load_config);
    return g_config;
}

bool valid_name(const char* name) {
    if (name == nullptr)
        return false;
    std::size_t len = strnlen(name, IFNAMSIZ);
    if (len == 0 || len >= IFNAMSIZ)
        return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '/' || c <= ' ' || c == ':')
            return false;
    }
    return true;
}

void remember(const char* name) {
    std::lock_guard lock(g_seen_mutex);
    for (int i = 0; i < g_seen_count; ++i) {
        if (std::strcmp(g_seen[i], name) == 0)
            return;
    }
    if (g_seen_count < 64)
        std::strcpy(g_seen[g_seen_count++], name);
}

bool make_dir(const char* path) {
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return true;
    if (errno != ENOENT)
        return false;
    // Create the parents one by one, as `mkdir -p` would.
    char tmp[kMaxBase + 32];
    std::snprintf(tmp, sizeof tmp, "%s", path);
    for (char* s = tmp + 1; *s != '\0'; ++s) {
        if (*s != '/')
            continue;
        *s = '\0';
        if (mkdir(tmp, 0777) != 0 && errno != EEXIST)
            return false;
        *s = '/';
    }
    return mkdir(path, 0777) == 0 || errno == EEXIST;
}

}  // namespace

bool active() {
    return config().count > 0;
}

bool serves(const char* name) {
    const Config& cfg = config();
    if (cfg.count == 0 || !valid_name(name))
        return false;
    for (int i = 0; i < cfg.count; ++i) {
        const Pattern& pat = cfg.patterns[i];
        if (pat.prefix ? std::strncmp(name, pat.text, std::strlen(pat.text)) == 0
                       : std::strcmp(name, pat.text) == 0) {
            return true;
        }
    }
    return false;
}

unsigned index_of(const char* name) {
    // FNV-1a, folded into [0x10000, 0x40000000): far above the small numbers kernels assign.
    std::uint32_t h = 2166136261u;
    for (const char* p = name; *p != '\0'; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 16777619u;
    }
    remember(name);
    return 0x10000u + h % (0x40000000u - 0x10000u);
}

bool current_base(char* out) {
    // Read at every use, not once: a process may move to another namespace (a test, a
    // simulated robot), while the sockets it already has stay where they were bound.
    const char* dir = std::getenv("WENLO_FAKECAN_DIR");
    if (dir == nullptr || *dir == '\0')
        dir = kDefaultBase;
    if (std::strlen(dir) >= kMaxBase) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::strcpy(out, dir);
    return true;
}

bool name_of(unsigned index, char* out, const char* base) {
    const Config& cfg = config();
    if (cfg.count == 0 || index < 0x10000u)
        return false;
    auto try_name = [&](const char* candidate) {
        if (!serves(candidate) || index_of(candidate) != index)
            return false;
        std::strcpy(out, candidate);
        return true;
    };
    {
        char copy[64][IFNAMSIZ];
        int n;
        {
            std::lock_guard lock(g_seen_mutex);
            n = g_seen_count;
            std::memcpy(copy, g_seen, sizeof copy);
        }
        for (int i = 0; i < n; ++i) {
            if (try_name(copy[i]))
                return true;
        }
    }
    for (int i = 0; i < cfg.count; ++i) {
        if (!cfg.patterns[i].prefix && try_name(cfg.patterns[i].text))
            return true;
    }
    // Wildcard names used by other processes are known by their bus directories.
    char current[kMaxBase];
    if (base == nullptr) {
        if (!current_base(current))
            return false;
        base = current;
    }
    DIR* dir = opendir(base);
    if (dir == nullptr)
        return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.' && try_name(e->d_name)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool interface_path(const char* base, const char* name, char* out, std::size_t out_size) {
    int n = std::snprintf(out, out_size, "%s/%s", base, name);
    if (n < 0 || static_cast<std::size_t>(n) >= out_size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool interface_dir(const char* base, const char* name, char* out, std::size_t out_size) {
    return interface_path(base, name, out, out_size) && make_dir(out);
}

bool unbound_dir(const char* base, char* out, std::size_t out_size) {
    return interface_dir(base, ".unbound", out, out_size);
}

}  // namespace fakecan
