/* A DirectPlay 4 (IDirectPlay4A) client driven line by line on standard input, for running a
 * real DirectPlay runtime against the host. It prints what the runtime reports, one line per
 * fact, fields separated by '|'; run_interop.py gives the commands and checks the lines.
 *
 *   enum HOST PORT APP-GUID   sessions of APP-GUID at HOST (enumeration port PORT)
 *   join                      joins the first session found
 *   create SHORT LONG         creates our player
 *   list                      players, groups and group members as the runtime knows them
 *   send TO HEX               guaranteed message from our player to TO (0: everybody)
 *   leave                     destroys our player and closes the session
 *
 * Every message received meanwhile is printed: "recv|from|to|hex" or "sys|type|...".
 * Build: i686-w64-mingw32-gcc -o dpclient.exe dpclient.c -ldxguid -lole32 */
#define INITGUID
#include <windows.h>
#include <dplay.h>
#include <dplobby.h>
#include <stdio.h>
#include <string.h>

static IDirectPlay4A *dp;
static DPSESSIONDESC2 found;
static char foundName[256];
static int sessions;
static DPID me;
static char command[1024];
static HANDLE commandReady, commandTaken;

static void guidText(const GUID *g, char *out) {
    sprintf(out, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g->Data1, g->Data2, g->Data3,
            g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
}

static const char *text(const char *s) { return s ? s : ""; }

static BOOL CALLBACK onSession(LPCDPSESSIONDESC2 d, LPDWORD timeout, DWORD flags, LPVOID context) {
    char instance[40], app[40];
    (void)timeout; (void)context;
    if (flags & DPESC_TIMEDOUT) return FALSE;
    guidText(&d->guidInstance, instance);
    guidText(&d->guidApplication, app);
    printf("session|%s|0x%08lX|%lu|%lu|0x%08lX|0x%08lX|0x%08lX|0x%08lX|%s|%s\n", text(d->lpszSessionNameA),
           d->dwFlags, d->dwMaxPlayers, d->dwCurrentPlayers, d->dwUser1, d->dwUser2, d->dwUser3, d->dwUser4,
           instance, app);
    if (sessions++ == 0) {
        found = *d;
        lstrcpynA(foundName, text(d->lpszSessionNameA), sizeof foundName);
        found.lpszSessionNameA = foundName;
        found.lpszPasswordA = NULL;
    }
    return TRUE;
}

static BOOL CALLBACK onMember(DPID id, DWORD type, LPCDPNAME name, DWORD flags, LPVOID group) {
    (void)type; (void)name; (void)flags;
    printf("member|0x%08lX|0x%08lX\n", *(DPID *)group, id);
    return TRUE;
}

static BOOL CALLBACK onPlayer(DPID id, DWORD type, LPCDPNAME name, DWORD flags, LPVOID context) {
    (void)context;
    printf("%s|0x%08lX|0x%08lX|%s|%s\n", type == DPPLAYERTYPE_GROUP ? "group" : "player", id, flags,
           text(name->lpszShortNameA), text(name->lpszLongNameA));
    if (type == DPPLAYERTYPE_GROUP) IDirectPlayX_EnumGroupPlayers(dp, id, NULL, onMember, &id, DPENUMPLAYERS_ALL);
    return TRUE;
}

static HRESULT enumerate(const char *host, unsigned port, const char *appText) {
    IDirectPlayLobby3A *lobby;
    DPCOMPOUNDADDRESSELEMENT e[3];
    WORD port16 = (WORD)port;
    WCHAR wide[64];
    DPSESSIONDESC2 want;
    DWORD size = 0;
    void *address;
    HRESULT hr;
    int attempt;

    memset(&want, 0, sizeof want);
    want.dwSize = sizeof want;
    MultiByteToWideChar(CP_ACP, 0, appText, -1, wide, 64);
    if (FAILED(hr = CLSIDFromString(wide, &want.guidApplication))) return hr;
    hr = CoCreateInstance(&CLSID_DirectPlayLobby, NULL, CLSCTX_ALL, &IID_IDirectPlayLobby3A, (void **)&lobby);
    if (FAILED(hr)) return hr;
    e[0].guidDataType = DPAID_ServiceProvider;
    e[0].dwDataSize = sizeof(GUID);
    e[0].lpData = (void *)&DPSPGUID_TCPIP;
    e[1].guidDataType = DPAID_INet;
    e[1].dwDataSize = (DWORD)strlen(host) + 1;
    e[1].lpData = (void *)host;
    e[2].guidDataType = DPAID_INetPort;
    e[2].dwDataSize = sizeof port16;
    e[2].lpData = &port16;
    IDirectPlayLobby_CreateCompoundAddress(lobby, e, 3, NULL, &size);
    address = calloc(1, size);
    hr = IDirectPlayLobby_CreateCompoundAddress(lobby, e, 3, address, &size);
    IDirectPlayLobby_Release(lobby);
    if (SUCCEEDED(hr)) hr = IDirectPlayX_InitializeConnection(dp, address, 0);
    free(address);
    /* The host answers over TCP; one UDP request may still be lost, so ask a few times. */
    for (attempt = 0; SUCCEEDED(hr) && attempt < 5 && !sessions; ++attempt)
        hr = IDirectPlayX_EnumSessions(dp, &want, 1000, onSession, NULL, DPENUMSESSIONS_AVAILABLE);
    return SUCCEEDED(hr) && !sessions ? DPERR_NOSESSIONS : hr;
}

static void printSystemMessage(const BYTE *m) {
    const DPMSG_GENERIC *g = (const DPMSG_GENERIC *)m;
    switch (g->dwType) {
    case DPSYS_CREATEPLAYERORGROUP: {
        const DPMSG_CREATEPLAYERORGROUP *c = (const void *)m;
        printf("sys|create|0x%08lX|%lu|%s|%s\n", c->dpId, c->dwPlayerType, text(c->dpnName.lpszShortNameA),
               text(c->dpnName.lpszLongNameA));
        break;
    }
    case DPSYS_DESTROYPLAYERORGROUP: {
        const DPMSG_DESTROYPLAYERORGROUP *d = (const void *)m;
        printf("sys|destroy|0x%08lX|%lu\n", d->dpId, d->dwPlayerType);
        break;
    }
    case DPSYS_ADDPLAYERTOGROUP:
    case DPSYS_DELETEPLAYERFROMGROUP: {
        const DPMSG_ADDPLAYERTOGROUP *a = (const void *)m;
        printf("sys|%s|0x%08lX|0x%08lX\n", g->dwType == DPSYS_ADDPLAYERTOGROUP ? "addtogroup" : "deletefromgroup",
               a->dpIdGroup, a->dpIdPlayer);
        break;
    }
    case DPSYS_SESSIONLOST:
        printf("sys|sessionlost\n");
        break;
    default:
        printf("sys|0x%04lX\n", g->dwType);
    }
}

static void receiveAll(void) {
    static BYTE buffer[65536];
    for (;;) {
        DPID from = 0, to = 0;
        DWORD size = sizeof buffer, i;
        if (FAILED(IDirectPlayX_Receive(dp, &from, &to, DPRECEIVE_ALL, buffer, &size))) return;
        if (from == DPID_SYSMSG) {
            printSystemMessage(buffer);
            continue;
        }
        printf("recv|0x%08lX|0x%08lX|", from, to);
        for (i = 0; i < size; ++i) printf("%02x", buffer[i]);
        printf("\n");
    }
}

static HRESULT sendHex(DPID to, const char *hex) {
    BYTE data[4096];
    DWORD n = 0;
    unsigned byte;
    while (n < sizeof data && sscanf(hex + 2 * n, "%2x", &byte) == 1) data[n++] = (BYTE)byte;
    return IDirectPlayX_Send(dp, me, to, DPSEND_GUARANTEED, data, n);
}

static void run(char *line) {
    char a[256] = "", b[256] = "", c[256] = "";
    char *verb = strtok(line, " \r\n"), *rest = strtok(NULL, "\r\n");
    HRESULT hr = DPERR_INVALIDPARAMS;
    if (!verb) return;
    if (!strcmp(verb, "enum") && rest && sscanf(rest, "%255s %255s %255s", a, b, c) == 3) {
        hr = enumerate(a, (unsigned)atoi(b), c);
    } else if (!strcmp(verb, "join")) {
        hr = sessions ? IDirectPlayX_Open(dp, &found, DPOPEN_JOIN) : DPERR_NOSESSIONS;
    } else if (!strcmp(verb, "create") && rest && sscanf(rest, "%255s %255s", a, b) == 2) {
        DPNAME name = {sizeof name, 0, {0}, {0}};
        name.lpszShortNameA = a;
        name.lpszLongNameA = b;
        hr = IDirectPlayX_CreatePlayer(dp, &me, &name, NULL, NULL, 0, 0);
        if (SUCCEEDED(hr)) printf("me|0x%08lX\n", me);
    } else if (!strcmp(verb, "list")) {
        hr = IDirectPlayX_EnumPlayers(dp, NULL, onPlayer, NULL, DPENUMPLAYERS_ALL);
        if (SUCCEEDED(hr)) hr = IDirectPlayX_EnumGroups(dp, NULL, onPlayer, NULL, DPENUMGROUPS_ALL);
    } else if (!strcmp(verb, "send") && rest && sscanf(rest, "%255s %255s", a, b) == 2) {
        hr = sendHex(strtoul(a, NULL, 0), strchr(rest, ' ') + 1);
    } else if (!strcmp(verb, "leave")) {
        hr = IDirectPlayX_DestroyPlayer(dp, me);
        if (SUCCEEDED(hr)) hr = IDirectPlayX_Close(dp);
    }
    printf("done|%s|0x%08lX\n", verb, (unsigned long)hr);
}

/* Standard input is read on its own thread so that messages keep arriving between commands. */
static DWORD WINAPI readCommands(void *unused) {
    (void)unused;
    for (;;) {
        if (!fgets(command, sizeof command, stdin)) strcpy(command, "eof");
        SetEvent(commandReady);
        if (!strcmp(command, "eof")) return 0;
        WaitForSingleObject(commandTaken, INFINITE);
    }
}

int main(void) {
    HRESULT hr;
    setvbuf(stdout, NULL, _IONBF, 0);
    CoInitialize(NULL);
    hr = CoCreateInstance(&CLSID_DirectPlay, NULL, CLSCTX_ALL, &IID_IDirectPlay4A, (void **)&dp);
    printf("ready|0x%08lX\n", (unsigned long)hr);
    if (FAILED(hr)) return 1;
    commandReady = CreateEventA(NULL, FALSE, FALSE, NULL);
    commandTaken = CreateEventA(NULL, FALSE, FALSE, NULL);
    CreateThread(NULL, 0, readCommands, NULL, 0, NULL);
    for (;;) {
        if (WaitForSingleObject(commandReady, 20) == WAIT_OBJECT_0) {
            if (!strcmp(command, "eof")) break;
            run(command);
            SetEvent(commandTaken);
        }
        receiveAll();
    }
    IDirectPlayX_Release(dp);
    CoUninitialize();
    return 0;
}
