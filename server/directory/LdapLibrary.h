#pragma once
// OpenLDAP's client library, loaded when the directory is first used rather than linked: a
// server that signs nobody in against a directory neither loads it nor the TLS, Kerberos and
// SASL libraries it brings. The functions the directory calls are found once, into one table,
// with the types of the library's own header.
#include <QString>
#include <ldap.h>

namespace wispline::server
{

#define WISPLINE_LDAP_FUNCTIONS(X)                                                                 \
    X(ber_memfree)                                                                                 \
    X(ber_sockbuf_ctrl)                                                                            \
    X(ldap_compare_ext_s)                                                                          \
    X(ldap_connect)                                                                                \
    X(ldap_count_entries)                                                                          \
    X(ldap_err2string)                                                                             \
    X(ldap_first_entry)                                                                            \
    X(ldap_get_dn)                                                                                 \
    X(ldap_get_option)                                                                             \
    X(ldap_get_values_len)                                                                         \
    X(ldap_initialize)                                                                             \
    X(ldap_memfree)                                                                                \
    X(ldap_msgfree)                                                                                \
    X(ldap_passwd_s)                                                                               \
    X(ldap_sasl_bind_s)                                                                            \
    X(ldap_search_ext_s)                                                                           \
    X(ldap_set_option)                                                                             \
    X(ldap_start_tls_s)                                                                            \
    X(ldap_tls_inplace)                                                                            \
    X(ldap_unbind_ext_s)                                                                           \
    X(ldap_value_free_len)

struct LdapLibrary {
#define WISPLINE_LDAP_MEMBER(name) decltype(&::name) name = nullptr;
    WISPLINE_LDAP_FUNCTIONS(WISPLINE_LDAP_MEMBER)
#undef WISPLINE_LDAP_MEMBER

    // The file name the library is loaded by (its SONAME, found when the program was built).
    static const char* fileName();
    // Loads it on the first call, from any thread; later calls give the same answer. Null, with
    // the reason in error, when it or one of its functions cannot be found.
    static const LdapLibrary* load(QString* error);
};

} // namespace wispline::server
