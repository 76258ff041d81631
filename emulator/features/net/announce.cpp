// The servers announced over mDNS through the Avahi daemon, so that Engine Driver and
// WiThrottle apps list the emulator by themselves.
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <string>

#include "esp_log.h"
#include "net.h"

namespace {

const char *TAG = "NET";

// Touched by the Avahi thread's callbacks only (and by net_announce before that thread runs).
struct service {
    const char *type;
    std::string name;
    int port;
};
service g_services[2] = {
    // Engine Driver speaks DCC-EX to a service whose name says DCC-EX, WiThrottle to the rest.
    {"_dcc-ex._tcp", "DCC-EX sound decoder emulator", 0},
    {"_withrottle._tcp", "Sound decoder emulator", 0},
};
AvahiEntryGroup *g_group = nullptr;

void add_services(AvahiClient *client);

void group_changed(AvahiEntryGroup *group, AvahiEntryGroupState state, void *) {
    switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            for (const service &s : g_services)
                if (s.port != 0)
                    ESP_LOGI(TAG, "Announced %s '%s' on port %d", s.type, s.name.c_str(), s.port);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Another machine has these names: take the next free ones ("... #2").
            for (service &s : g_services) {
                char *other = avahi_alternative_service_name(s.name.c_str());
                s.name = other;
                avahi_free(other);
            }
            add_services(avahi_entry_group_get_client(group));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            ESP_LOGW(TAG, "The mDNS announcement failed: %s",
                     avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
            break;
        default:
            break;
    }
}

void add_services(AvahiClient *client) {
    if (g_group == nullptr) g_group = avahi_entry_group_new(client, group_changed, nullptr);
    if (g_group == nullptr) {
        ESP_LOGW(TAG, "The mDNS announcement failed: %s", avahi_strerror(avahi_client_errno(client)));
        return;
    }
    avahi_entry_group_reset(g_group);
    for (const service &s : g_services) {
        if (s.port == 0) continue;
        const int ret = avahi_entry_group_add_service(g_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                      (AvahiPublishFlags)0, s.name.c_str(), s.type, nullptr,
                                                      nullptr, (uint16_t)s.port, nullptr);
        if (ret == AVAHI_ERR_COLLISION) {
            group_changed(g_group, AVAHI_ENTRY_GROUP_COLLISION, nullptr);
            return;
        }
        if (ret < 0) {
            ESP_LOGW(TAG, "Cannot announce %s: %s", s.type, avahi_strerror(ret));
            return;
        }
    }
    const int ret = avahi_entry_group_commit(g_group);
    if (ret < 0) ESP_LOGW(TAG, "The mDNS announcement failed: %s", avahi_strerror(ret));
}

void client_changed(AvahiClient *client, AvahiClientState state, void *) {
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            add_services(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's name is being settled: announce again once it is.
            if (g_group != nullptr) avahi_entry_group_reset(g_group);
            break;
        case AVAHI_CLIENT_FAILURE:
            ESP_LOGW(TAG, "The Avahi daemon went away (%s): the servers are no longer announced",
                     avahi_strerror(avahi_client_errno(client)));
            break;
        default:
            break;
    }
}

}  // namespace

void net_announce(int dccex_port, int withrottle_port) {
    g_services[0].port = dccex_port;
    g_services[1].port = withrottle_port;
    AvahiThreadedPoll *poll = avahi_threaded_poll_new();
    if (poll == nullptr) {
        ESP_LOGW(TAG, "Cannot announce the servers: out of memory");
        return;
    }
    int error = 0;
    AvahiClient *client =
        avahi_client_new(avahi_threaded_poll_get(poll), (AvahiClientFlags)0, client_changed, nullptr, &error);
    if (client == nullptr) {
        ESP_LOGW(TAG,
                 "No Avahi daemon to announce the servers with (%s): clients must be given this machine's "
                 "address",
                 avahi_strerror(error));
        avahi_threaded_poll_free(poll);
        return;
    }
    // The client and its poll live as long as the process: the announcement with them.
    avahi_threaded_poll_start(poll);
}
