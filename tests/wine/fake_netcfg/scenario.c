/*
 * Test-only network configuration server: scenario, call log, installed
 * components and the write lock.
 *
 * Scenario file (scenario.txt), one directive a line, '#' starts a comment:
 *   scenario <name>                 a name; any change of the file's text
 *                                   starts the scenario afresh (counters,
 *                                   write lock)
 *   answer <Interface.Method> <a1> [<a2> ...]
 *                                   the n-th call gets the n-th answer, later
 *                                   calls the last one. An answer is an
 *                                   HRESULT (0x..., decimal or a name below),
 *                                   "default", "hang" (never returns), or
 *                                   "sleep:<ms>" (waits, then default)
 *   lock-holder <description>       another client holds the write lock
 *   lock-wait <ms>                  cap on how long AcquireWriteLock waits
 *                                   for that client (default: as asked)
 *   component <id> <characteristics> <display name>
 *                                   another vendor's network service the
 *                                   configuration knows (EnumComponents)
 * Names: S_OK S_FALSE NETCFG_S_REBOOT NETCFG_E_NO_WRITE_LOCK E_FAIL
 * E_NOINTERFACE E_NOTIMPL E_INVALIDARG E_OUTOFMEMORY CANCELLED.
 */
#include "fake_netcfg.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char *const fake_call_names[CALL_COUNT] = {
    "IClassFactory.CreateInstance",
    "INetCfg.QueryInterface",
    "INetCfg.Initialize",
    "INetCfg.Uninitialize",
    "INetCfg.Apply",
    "INetCfg.Cancel",
    "INetCfg.FindComponent",
    "INetCfg.QueryNetCfgClass",
    "INetCfgLock.AcquireWriteLock",
    "INetCfgLock.ReleaseWriteLock",
    "INetCfgClass.QueryInterface",
    "INetCfgClassSetup.Install",
    "INetCfgClassSetup.DeInstall",
    "INetCfgComponent.GetClassGuid",
};

static const struct {
    const char *name;
    HRESULT hr;
} hr_names[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"NETCFG_S_REBOOT", NETCFG_S_REBOOT},
    {"NETCFG_E_NO_WRITE_LOCK", NETCFG_E_NO_WRITE_LOCK},
    {"E_FAIL", E_FAIL},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_INVALIDARG", E_INVALIDARG},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"CANCELLED", HRESULT_FROM_WIN32(ERROR_CANCELLED)},
};

#define MAX_ANSWERS 8
#define ANSWER_DEFAULT 0
#define ANSWER_HR 1
#define ANSWER_HANG 2
#define ANSWER_SLEEP 3

struct scripted_call {
    int count; /* answers given */
    int kinds[MAX_ANSWERS];
    HRESULT values[MAX_ANSWERS]; /* HRESULT, or ms for a sleep */
    LONG calls;                  /* calls received in this scenario */
};

static CRITICAL_SECTION state_lock;

static char scenario_text[8192];
static struct scripted_call scripted[CALL_COUNT];
static WCHAR lock_holder[128];
static BOOL have_lock_holder;
static DWORD lock_wait_cap = INFINITE;
static const void *lock_owner;
static HANDLE lock_owner_thread; /* a lock whose thread has ended is free */
static WCHAR lock_owner_description[128];
static LONG object_numbers;
static struct fake_component_info other_components[16];
static int other_component_count;

void fake_state_init(void) { InitializeCriticalSection(&state_lock); }

/* The next blank-separated word of *cursor, or NULL. */
static char *next_word(char **cursor) {
    char *word = *cursor + strspn(*cursor, " \t"), *end;
    if (!*word) return NULL;
    end = word + strcspn(word, " \t");
    *cursor = *end ? end + 1 : end;
    *end = 0;
    return word;
}

static void state_path(const WCHAR *file, WCHAR *path, DWORD size) {
    DWORD length = GetEnvironmentVariableW(L"FAKE_NETCFG_DIR", path, size);
    if (!length || length >= size) {
        HMODULE self = NULL;
        WCHAR *slash;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            (LPCWSTR)state_path, &self);
        GetModuleFileNameW(self, path, size);
        slash = wcsrchr(path, L'\\');
        if (slash) *slash = 0;
    }
    if (lstrlenW(path) + 1 + lstrlenW(file) < (int)size) {
        lstrcatW(path, L"\\");
        lstrcatW(path, file);
    }
}

/* Reads a whole small file as text; returns its length or -1. */
static int read_text(const WCHAR *file, char *text, int size) {
    WCHAR path[MAX_PATH];
    HANDLE handle;
    DWORD read = 0;

    state_path(file, path, MAX_PATH);
    handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    ReadFile(handle, text, size - 1, &read, NULL);
    CloseHandle(handle);
    text[read] = 0;
    return (int)read;
}

static void write_text(const WCHAR *file, const char *text, BOOL append) {
    WCHAR path[MAX_PATH];
    HANDLE handle;
    DWORD written;

    state_path(file, path, MAX_PATH);
    handle = CreateFileW(path, append ? FILE_APPEND_DATA : GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) return;
    WriteFile(handle, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(handle);
}

static BOOL parse_answer(const char *word, int *kind, HRESULT *value) {
    int i;
    char *end;

    if (!strcmp(word, "default")) {
        *kind = ANSWER_DEFAULT;
        return TRUE;
    }
    if (!strcmp(word, "hang")) {
        *kind = ANSWER_HANG;
        return TRUE;
    }
    if (!strncmp(word, "sleep:", 6)) {
        *kind = ANSWER_SLEEP;
        *value = (HRESULT)strtoul(word + 6, NULL, 10);
        return TRUE;
    }
    for (i = 0; i < ARRAY_SIZE(hr_names); i++)
        if (!strcmp(word, hr_names[i].name)) {
            *kind = ANSWER_HR;
            *value = hr_names[i].hr;
            return TRUE;
        }
    *value = (HRESULT)strtoul(word, &end, 0);
    *kind = ANSWER_HR;
    return end != word && !*end;
}

static void parse_scenario(char *text) {
    char *line, *next;

    memset(scripted, 0, sizeof(scripted));
    have_lock_holder = FALSE;
    lock_wait_cap = INFINITE;
    other_component_count = 0;
    /* A new scenario: a lock that a terminated worker abandoned goes too. */
    lock_owner = NULL;

    for (line = text; line && *line; line = next) {
        char *word, *context;
        next = strchr(line, '\n');
        if (next) *next++ = 0;
        line[strcspn(line, "\r#")] = 0;
        context = line;
        if (!(word = next_word(&context))) continue;

        if (!strcmp(word, "answer")) {
            char *name = next_word(&context);
            int call;
            for (call = 0; name && call < CALL_COUNT; call++)
                if (!strcmp(name, fake_call_names[call])) break;
            if (!name || call == CALL_COUNT) {
                fake_log("! scenario: unknown call '%s'", name ? name : "");
                continue;
            }
            while ((word = next_word(&context)) && scripted[call].count < MAX_ANSWERS) {
                struct scripted_call *script = &scripted[call];
                if (!parse_answer(word, &script->kinds[script->count],
                                  &script->values[script->count]))
                    fake_log("! scenario: bad answer '%s'", word);
                else
                    script->count++;
            }
        } else if (!strcmp(word, "lock-holder")) {
            char *rest = context + strspn(context, " \t");
            MultiByteToWideChar(CP_UTF8, 0, rest, -1, lock_holder, ARRAY_SIZE(lock_holder));
            have_lock_holder = TRUE;
        } else if (!strcmp(word, "component")) {
            char *id = next_word(&context), *flags = next_word(&context);
            struct fake_component_info *info = &other_components[other_component_count];
            if (!id || !flags || other_component_count == ARRAY_SIZE(other_components)) {
                fake_log("! scenario: bad component line");
                continue;
            }
            MultiByteToWideChar(CP_UTF8, 0, id, -1, info->id, ARRAY_SIZE(info->id));
            info->characteristics = strtoul(flags, NULL, 0);
            MultiByteToWideChar(CP_UTF8, 0, context + strspn(context, " \t"), -1,
                                info->display_name, ARRAY_SIZE(info->display_name));
            other_component_count++;
        } else if (!strcmp(word, "lock-wait")) {
            word = next_word(&context);
            if (word) lock_wait_cap = strtoul(word, NULL, 10);
        }
    }
}

/* Rereads the scenario; a changed text starts it afresh. Called with
   state_lock held. */
static void refresh_scenario(void) {
    char text[sizeof(scenario_text)];
    if (read_text(L"scenario.txt", text, sizeof(text)) < 0) text[0] = 0;
    if (!strcmp(text, scenario_text)) return;
    strcpy(scenario_text, text);
    parse_scenario(text);
}

void fake_log(const char *format, ...) {
    char line[1024];
    va_list args;
    int length;

    length = snprintf(line, sizeof(line), "%5lu ", GetCurrentThreadId());
    va_start(args, format);
    vsnprintf(line + length, sizeof(line) - length - 2, format, args);
    va_end(args);
    strcat(line, "\n");
    EnterCriticalSection(&state_lock);
    write_text(L"calls.log", line, TRUE);
    LeaveCriticalSection(&state_lock);
}

struct fake_answer fake_begin_call(enum fake_call call, const char *format, ...) {
    struct fake_answer answer = {FALSE, S_OK};
    char args[768];
    va_list list;
    int kind = ANSWER_DEFAULT, index;
    HRESULT value = S_OK;

    va_start(list, format);
    vsnprintf(args, sizeof(args), format, list);
    va_end(list);

    EnterCriticalSection(&state_lock);
    refresh_scenario();
    index = (int)scripted[call].calls++;
    if (scripted[call].count) {
        if (index >= scripted[call].count) index = scripted[call].count - 1;
        kind = scripted[call].kinds[index];
        value = scripted[call].values[index];
    }
    LeaveCriticalSection(&state_lock);

    if (kind == ANSWER_HANG) {
        /* A handle to this thread, for the test to see how it ended. */
        HANDLE self = NULL;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0);
        fake_log("%s %s hang thread=%p", fake_call_names[call], args, self);
        for (;;) Sleep(INFINITE);
    }
    fake_log("%s %s", fake_call_names[call], args);
    if (kind == ANSWER_SLEEP) Sleep((DWORD)value);
    if (kind == ANSWER_HR) {
        answer.scripted = TRUE;
        answer.hr = value;
    }
    return answer;
}

const WCHAR *fake_lock_holder(void) {
    const WCHAR *holder;
    EnterCriticalSection(&state_lock);
    refresh_scenario();
    holder = have_lock_holder ? lock_holder : lock_owner ? lock_owner_description : NULL;
    LeaveCriticalSection(&state_lock);
    return holder;
}

int fake_other_components(struct fake_component_info *out, int max) {
    int count;
    EnterCriticalSection(&state_lock);
    refresh_scenario();
    count = other_component_count < max ? other_component_count : max;
    memcpy(out, other_components, count * sizeof(*out));
    LeaveCriticalSection(&state_lock);
    return count;
}

DWORD fake_lock_wait(DWORD requested) {
    return requested < lock_wait_cap ? requested : lock_wait_cap;
}

BOOL fake_try_lock(const void *owner, const WCHAR *description) {
    BOOL taken = FALSE;
    EnterCriticalSection(&state_lock);
    if (lock_owner && lock_owner != owner && lock_owner_thread &&
        WaitForSingleObject(lock_owner_thread, 0) == WAIT_OBJECT_0) {
        /* Like a mutex whose owner died: the next client gets it. */
        write_text(L"calls.log", "      write lock abandoned by an ended thread\n", TRUE);
        lock_owner = NULL;
    }
    if (!have_lock_holder && (!lock_owner || lock_owner == owner)) {
        if (lock_owner_thread) CloseHandle(lock_owner_thread);
        lock_owner_thread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
        lock_owner = owner;
        lstrcpynW(lock_owner_description, description ? description : L"",
                  ARRAY_SIZE(lock_owner_description));
        taken = TRUE;
    }
    LeaveCriticalSection(&state_lock);
    return taken;
}

BOOL fake_unlock(const void *owner) {
    BOOL released = FALSE;
    EnterCriticalSection(&state_lock);
    if (lock_owner == owner) {
        lock_owner = NULL;
        released = TRUE;
    }
    LeaveCriticalSection(&state_lock);
    return released;
}

BOOL fake_lock_owned_by(const void *owner) {
    BOOL owned;
    EnterCriticalSection(&state_lock);
    owned = owner && lock_owner == owner;
    LeaveCriticalSection(&state_lock);
    return owned;
}

int fake_load_components(WCHAR ids[][64], int max) {
    char text[4096], *line, *next;
    int count = 0;

    if (read_text(L"components.txt", text, sizeof(text)) < 0) return 0;
    for (line = text; line && *line && count < max; line = next) {
        next = strchr(line, '\n');
        if (next) *next++ = 0;
        line[strcspn(line, "\r")] = 0;
        if (!*line) continue;
        MultiByteToWideChar(CP_UTF8, 0, line, -1, ids[count], 64);
        count++;
    }
    return count;
}

BOOL fake_component_installed(const WCHAR *id) {
    WCHAR ids[16][64];
    int count = fake_load_components(ids, 16), i;
    for (i = 0; i < count; i++)
        if (id && !lstrcmpiW(ids[i], id)) return TRUE;
    return FALSE;
}

void fake_commit_components(const WCHAR ids[][64], int count) {
    char text[4096] = "", line[80];
    int i;
    for (i = 0; i < count; i++) {
        fake_utf8(ids[i], line, sizeof(line) - 1);
        strcat(line, "\n");
        strcat(text, line);
    }
    EnterCriticalSection(&state_lock);
    write_text(L"components.txt", text, FALSE);
    LeaveCriticalSection(&state_lock);
}

int fake_next_object_number(void) { return (int)InterlockedIncrement(&object_numbers); }

const char *fake_utf8(const WCHAR *text, char *buffer, int size) {
    if (!text) return "(null)";
    if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, size, NULL, NULL)) buffer[0] = 0;
    return buffer;
}

const char *fake_guid_name(const GUID *guid, char *buffer, int size) {
    static const struct {
        const GUID *guid;
        const char *name;
    } names[] = {
        {&IID_IUnknown, "IUnknown"},
        {&IID_INetCfg, "INetCfg"},
        {&IID_INetCfgLock, "INetCfgLock"},
        {&IID_INetCfgClass, "INetCfgClass"},
        {&IID_INetCfgClassSetup, "INetCfgClassSetup"},
        {&IID_INetCfgComponent, "INetCfgComponent"},
        {&GUID_DEVCLASS_NETSERVICE, "NETSERVICE"},
        {&GUID_DEVCLASS_NETTRANS, "NETTRANS"},
        {&GUID_DEVCLASS_NETCLIENT, "NETCLIENT"},
        {&GUID_DEVCLASS_NET, "NET"},
    };
    int i;
    if (!guid) return "(null)";
    for (i = 0; i < ARRAY_SIZE(names); i++)
        if (IsEqualGUID(guid, names[i].guid)) return names[i].name;
    snprintf(buffer, size, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1,
             guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2],
             guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    return buffer;
}

const char *fake_hr_text(HRESULT hr, char *buffer, int size) {
    snprintf(buffer, size, "0x%08lX", (unsigned long)hr);
    return buffer;
}
