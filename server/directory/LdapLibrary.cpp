#include "directory/LdapLibrary.h"

#include <dlfcn.h>

namespace wispline::server
{
namespace
{

struct Loaded {
    LdapLibrary table;
    bool complete = false;
    QString error;
};

Loaded loadOnce()
{
    Loaded loaded;
    // Kept for the life of the process: connections and their threads may outlive any owner.
    void* handle = ::dlopen(LdapLibrary::fileName(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        loaded.error = QStringLiteral("--ldap needs OpenLDAP's client library, which cannot be "
                                      "loaded: %1")
                           .arg(QString::fromLocal8Bit(::dlerror()));
        return loaded;
    }
    // Looked up in the library and those it loads, where the ber_ functions live.
#define WISPLINE_LDAP_FIND(name)                                                                   \
    loaded.table.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));               \
    if (!loaded.table.name) {                                                                      \
        loaded.error = QStringLiteral("OpenLDAP's client library %1 lacks %2")                     \
                           .arg(QLatin1String(LdapLibrary::fileName()), QLatin1String(#name));     \
        return loaded;                                                                             \
    }
    WISPLINE_LDAP_FUNCTIONS(WISPLINE_LDAP_FIND)
#undef WISPLINE_LDAP_FIND
    loaded.complete = true;
    return loaded;
}

} // namespace

const char* LdapLibrary::fileName()
{
    return WISPLINE_LDAP_SONAME;
}

const LdapLibrary* LdapLibrary::load(QString* error)
{
    static const Loaded loaded = loadOnce();
    if (!loaded.complete) {
        if (error)
            *error = loaded.error;
        return nullptr;
    }
    return &loaded.table;
}

} // namespace wispline::server
