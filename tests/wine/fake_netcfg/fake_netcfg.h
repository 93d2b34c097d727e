/*
 * Test-only network configuration server: private declarations.
 *
 * It stands in for the platform's CLSID_CNetCfg in a throwaway Wine prefix.
 * Its state lives in a directory (FAKE_NETCFG_DIR, or the DLL's own):
 *   scenario.txt    what each call answers (read before every call);
 *   calls.log       one line per call received, appended;
 *   components.txt  the installed component ids, one a line.
 * See scenario.c for the scenario file's format.
 */
#ifndef FAKE_NETCFG_H
#define FAKE_NETCFG_H

#define COBJMACROS
#ifndef CONST_VTABLE
#define CONST_VTABLE
#endif
#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>
#include <devguid.h>

/* The calls a scenario can script, in the order of fake_call_names. */
enum fake_call {
    CALL_CREATE_INSTANCE,
    CALL_NETCFG_QUERY_INTERFACE,
    CALL_INITIALIZE,
    CALL_UNINITIALIZE,
    CALL_APPLY,
    CALL_CANCEL,
    CALL_FIND_COMPONENT,
    CALL_QUERY_NETCFG_CLASS,
    CALL_ACQUIRE_WRITE_LOCK,
    CALL_RELEASE_WRITE_LOCK,
    CALL_CLASS_QUERY_INTERFACE,
    CALL_CLASS_SETUP_INSTALL,
    CALL_CLASS_SETUP_DEINSTALL,
    CALL_GET_CLASS_GUID,
    CALL_COUNT
};

#define ARRAY_SIZE(array) ((int)(sizeof(array) / sizeof((array)[0])))

extern const char *const fake_call_names[CALL_COUNT];

void fake_state_init(void);

/* How a scripted call is to behave. */
struct fake_answer {
    BOOL scripted; /* FALSE: the default behaviour */
    HRESULT hr;    /* when scripted */
};

/* Records the call, then applies the scenario: may sleep (a "sleep:<ms>"
   answer) or never return (a "hang" answer). */
struct fake_answer fake_begin_call(enum fake_call call, const char *format, ...);
/* Appends one line to the call log. */
void fake_log(const char *format, ...);
/* The description of another client holding the write lock, or NULL. */
const WCHAR *fake_lock_holder(void);
/* How long an AcquireWriteLock facing another client waits, in ms. */
DWORD fake_lock_wait(DWORD requested);

/* Installed components (components.txt). */
BOOL fake_component_installed(const WCHAR *id);
void fake_commit_components(const WCHAR ids[][64], int count);
int fake_load_components(WCHAR ids[][64], int max);

/* Process-wide write lock, abandoned (freed) when the scenario changes. */
BOOL fake_try_lock(const void *owner, const WCHAR *description);
BOOL fake_unlock(const void *owner);
BOOL fake_lock_owned_by(const void *owner);

const char *fake_utf8(const WCHAR *text, char *buffer, int size);
const char *fake_guid_name(const GUID *guid, char *buffer, int size);
const char *fake_hr_text(HRESULT hr, char *buffer, int size);

/* Objects. Each counts its references and is never freed: a call on one
   whose count reached 0 is logged as an error ("!"). */
HRESULT fake_netcfg_create(REFIID iid, void **out);
HRESULT fake_class_create(INetCfg *netcfg, REFIID iid, void **out);
INetCfgComponent *fake_component_create(const WCHAR *id);
INetCfgComponent *fake_component_create_described(const WCHAR *id, const WCHAR *display_name,
                                                  DWORD characteristics);

/* Other vendors' network services the scenario names ("component" lines). */
struct fake_component_info {
    WCHAR id[64];
    WCHAR display_name[128];
    DWORD characteristics;
};
int fake_other_components(struct fake_component_info *out, int max);
/* An enumerator over the other components and ours (`ours`, `our_count`). */
HRESULT fake_enum_components_create(const WCHAR ours[][64], int our_count,
                                    IEnumNetCfgComponent **out);
/* The id of one of our components, or NULL when it is not one. */
const WCHAR *fake_component_id(INetCfgComponent *component, int *number);
/* A new number for an object, for the log. */
int fake_next_object_number(void);
/* The INetCfg that a class object belongs to is told of installs and removals. */
void fake_netcfg_add_pending(INetCfg *netcfg, const WCHAR *id);
BOOL fake_netcfg_remove_pending(INetCfg *netcfg, const WCHAR *id);
/* A pending change needs a restart (its install or removal said so). */
void fake_netcfg_restart_pending(INetCfg *netcfg);
BOOL fake_netcfg_write_locked(INetCfg *netcfg);

#endif
