#include "platform/SecretStore.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>

namespace Sys::SecretStore {

namespace {

// Items saved by other tools (secret-tool) under the same attributes count too.
const SecretSchema* ProxySchema() {
    static const SecretSchema schema = {"org.tessra.SoftwareManager.Proxy",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
                                        {{"proxy", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

// Asking for the session bus where none is announced may start one (an
// autolaunch through X11); without a bus there is no store to ask.
bool SessionBusAnnounced() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

std::optional<ProxyCredentials> FromItem(SecretRetrievable* item) {
    GHashTable* attributes = secret_retrievable_get_attributes(item);
    const auto* user =
        attributes ? static_cast<const char*>(g_hash_table_lookup(attributes, "user")) : nullptr;
    std::optional<ProxyCredentials> found;
    if (user && *user) {
        if (SecretValue* value = secret_retrievable_retrieve_secret_sync(item, nullptr, nullptr)) {
            if (const char* text = secret_value_get_text(value))
                found = ProxyCredentials{user, text, false};
            secret_value_unref(value);
        }
    }
    if (attributes) g_hash_table_unref(attributes);
    return found;
}

}  // namespace

std::optional<ProxyCredentials> Lookup(const std::string& hostPort, bool mayUnlock) {
    if (hostPort.empty() || !SessionBusAnnounced()) return std::nullopt;
    const int flags = SECRET_SEARCH_LOAD_SECRETS | (mayUnlock ? SECRET_SEARCH_UNLOCK : 0);
    GError* error = nullptr;
    GList* items = secret_password_search_sync(ProxySchema(), static_cast<SecretSearchFlags>(flags),
                                               nullptr, &error, "proxy", hostPort.c_str(), nullptr);
    if (error) g_error_free(error);
    std::optional<ProxyCredentials> found;
    for (GList* item = items; item && !found; item = item->next)
        found = FromItem(static_cast<SecretRetrievable*>(item->data));
    g_list_free_full(items, g_object_unref);
    return found;
}

bool Store(const std::string& hostPort, const ProxyCredentials& credentials) {
    if (hostPort.empty() || credentials.user.empty() || !SessionBusAnnounced()) return false;
    GError* error = nullptr;
    // One item per proxy: a new user name replaces the old one's item.
    secret_password_clear_sync(ProxySchema(), nullptr, &error, "proxy", hostPort.c_str(), nullptr);
    if (error) {
        g_error_free(error);
        error = nullptr;
    }
    const std::string label = "Tessra Software Manager: proxy " + hostPort;
    const gboolean stored = secret_password_store_sync(
        ProxySchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), credentials.password.c_str(),
        nullptr, &error, "proxy", hostPort.c_str(), "user", credentials.user.c_str(), nullptr);
    if (error) g_error_free(error);
    return stored;
}

}  // namespace Sys::SecretStore
