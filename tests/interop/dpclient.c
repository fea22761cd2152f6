/* A DirectPlay 4 (IDirectPlay4A) client driven line by line on standard input by run_interop.py
 * (commands: enum HOST PORT APP-GUID, join, create SHORT LONG, list, send TO HEX, leave). It prints
 * what the runtime reports, one fact a line, fields separated by '|'; every message received
 * meanwhile as "recv|from|to|hex" or "sys|type|...". */
#define INITGUID
#include <windows.h>
#include <dplay.h>
#include <dplobby.h>
#include <stdio.h>
#include <string.h>

static IDirectPlay4A *dp;
static DPSESSIONDESC2 found;
static char foundName[256], command[1024];
static int sessions;
static DPID me;
static HANDLE commandReady, commandTaken;

static const char *text(const char *s) { return s ? s : ""; }

static BOOL CALLBACK onSession(LPCDPSESSIONDESC2 d, LPDWORD timeout, DWORD flags, LPVOID context) {
    WCHAR instance[40], app[40];
    if (flags & DPESC_TIMEDOUT) return FALSE;
    StringFromGUID2(&d->guidInstance, instance, 40);
    StringFromGUID2(&d->guidApplication, app, 40);
    printf("session|%s|0x%08lX|%lu|%lu|0x%08lX|0x%08lX|0x%08lX|0x%08lX|%ls|%ls\n", text(d->lpszSessionNameA),
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
    printf("member|0x%08lX|0x%08lX\n", *(DPID *)group, id);
    return TRUE;
}

static BOOL CALLBACK onPlayer(DPID id, DWORD type, LPCDPNAME name, DWORD flags, LPVOID context) {
    printf("%s|0x%08lX|0x%08lX|%s|%s\n", type == DPPLAYERTYPE_GROUP ? "group" : "player", id, flags,
           text(name->lpszShortNameA), text(name->lpszLongNameA));
    if (type == DPPLAYERTYPE_GROUP) IDirectPlayX_EnumGroupPlayers(dp, id, NULL, onMember, &id, DPENUMPLAYERS_ALL);
    return TRUE;
}

static HRESULT enumerate(const char *host, unsigned port, const char *appText) {
    WORD port16 = (WORD)port;
    DPCOMPOUNDADDRESSELEMENT e[3] = {{DPAID_ServiceProvider, sizeof(GUID), (void *)&DPSPGUID_TCPIP},
                                     {DPAID_INet, (DWORD)strlen(host) + 1, (void *)host},
                                     {DPAID_INetPort, sizeof port16, &port16}};
    DPSESSIONDESC2 want = {sizeof want};
    WCHAR wide[64];
    DWORD size = 0;
    IDirectPlayLobby3A *lobby;
    HRESULT hr;
    MultiByteToWideChar(CP_ACP, 0, appText, -1, wide, 64);
    if (FAILED(hr = CLSIDFromString(wide, &want.guidApplication))) return hr;
    hr = CoCreateInstance(&CLSID_DirectPlayLobby, NULL, CLSCTX_ALL, &IID_IDirectPlayLobby3A, (void **)&lobby);
    if (FAILED(hr)) return hr;
    IDirectPlayLobby_CreateCompoundAddress(lobby, e, 3, NULL, &size);
    void *address = calloc(1, size);
    hr = IDirectPlayLobby_CreateCompoundAddress(lobby, e, 3, address, &size);
    IDirectPlayLobby_Release(lobby);
    if (SUCCEEDED(hr)) hr = IDirectPlayX_InitializeConnection(dp, address, 0);
    free(address);
    /* The host answers over TCP; one UDP request may still be lost, so ask a few times. */
    for (int attempt = 0; SUCCEEDED(hr) && attempt < 5 && !sessions; ++attempt)
        hr = IDirectPlayX_EnumSessions(dp, &want, 1000, onSession, NULL, DPENUMSESSIONS_AVAILABLE);
    return SUCCEEDED(hr) && !sessions ? DPERR_NOSESSIONS : hr;
}

static void receiveAll(void) {
    static BYTE m[65536];
    for (;;) {
        DPID from = 0, to = 0;
        DWORD size = sizeof m;
        if (FAILED(IDirectPlayX_Receive(dp, &from, &to, DPRECEIVE_ALL, m, &size))) return;
        const DPMSG_CREATEPLAYERORGROUP *c = (const void *)m;
        if (from == DPID_SYSMSG && c->dwType == DPSYS_CREATEPLAYERORGROUP)
            printf("sys|create|0x%08lX|%lu|%s|%s\n", c->dpId, c->dwPlayerType, text(c->dpnName.lpszShortNameA),
                   text(c->dpnName.lpszLongNameA));
        else if (from == DPID_SYSMSG)
            printf("sys|0x%04lX\n", c->dwType);
        else {
            printf("recv|0x%08lX|0x%08lX|", from, to);
            for (DWORD i = 0; i < size; ++i) printf("%02x", m[i]);
            printf("\n");
        }
    }
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
        DPNAME name = {sizeof name, 0, {.lpszShortNameA = a}, {.lpszLongNameA = b}};
        hr = IDirectPlayX_CreatePlayer(dp, &me, &name, NULL, NULL, 0, 0);
        if (SUCCEEDED(hr)) printf("me|0x%08lX\n", me);
    } else if (!strcmp(verb, "list")) {
        hr = IDirectPlayX_EnumPlayers(dp, NULL, onPlayer, NULL, DPENUMPLAYERS_ALL);
        if (SUCCEEDED(hr)) hr = IDirectPlayX_EnumGroups(dp, NULL, onPlayer, NULL, DPENUMGROUPS_ALL);
    } else if (!strcmp(verb, "send") && rest && sscanf(rest, "%255s %255s", a, b) == 2) {
        BYTE data[4096];
        DWORD n = 0;
        unsigned byte;
        for (const char *hex = strchr(rest, ' ') + 1; n < sizeof data && sscanf(hex + 2 * n, "%2x", &byte) == 1;)
            data[n++] = (BYTE)byte;
        hr = IDirectPlayX_Send(dp, me, strtoul(a, NULL, 0), DPSEND_GUARANTEED, data, n);
    } else if (!strcmp(verb, "leave")) {
        hr = IDirectPlayX_DestroyPlayer(dp, me);
        if (SUCCEEDED(hr)) hr = IDirectPlayX_Close(dp);
    }
    printf("done|%s|0x%08lX\n", verb, (unsigned long)hr);
}

/* Standard input is read on its own thread so that messages keep arriving between commands. */
static DWORD WINAPI readCommands(void *unused) {
    for (;;) {
        if (!fgets(command, sizeof command, stdin)) strcpy(command, "eof");
        SetEvent(commandReady);
        if (!strcmp(command, "eof")) return 0;
        WaitForSingleObject(commandTaken, INFINITE);
    }
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    CoInitialize(NULL);
    HRESULT hr = CoCreateInstance(&CLSID_DirectPlay, NULL, CLSCTX_ALL, &IID_IDirectPlay4A, (void **)&dp);
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
