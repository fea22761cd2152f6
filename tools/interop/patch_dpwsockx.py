#!/usr/bin/env python3
"""Makes Wine's TCP/IP DirectPlay provider (dlls/dpwsockx in an unpacked Wine 10 source tree)
send EnumSessions where Windows' provider does when the application names a host: to the
DPAID_INet address (and DPAID_INetPort, when given) of the address passed to
InitializeConnection, instead of a broadcast to 255.255.255.255:47624. For the interop test
only, so it also refuses any target outside 127.0.0.0/8: the test client never sends off the
machine. Only the two lines that pick the target are replaced; the rest is added beside them.

Usage: patch_dpwsockx.py WINE-SOURCE-DIR
"""
import re
import sys

# Collects the target in SPInit; the provider is loaded once per InitializeConnection.
STATE = r"""
/* Interop test: where EnumSessions goes (network order), read from the connection's address. */
static SOCKADDR_IN enum_target;

static BOOL CALLBACK enum_target_element( REFGUID type, DWORD size, const void *data, void *context )
{
    if ( IsEqualGUID( type, &DPAID_INet ) && size > 1 && size < 64 && !((const char *) data)[size - 1] )
        enum_target.sin_addr.s_addr = inet_addr( data );
    else if ( IsEqualGUID( type, &DPAID_INetPort ) && size == sizeof(WORD) )
        enum_target.sin_port = htons( *(const WORD *) data );
    return TRUE;
}

static void read_enum_target( LPSPINITDATA init )
{
    const DPADDRESS *first = init->lpAddress;
    DWORD size = init->dwAddressSize;

    memset( &enum_target, 0, sizeof(enum_target) );
    enum_target.sin_family = AF_INET;
    /* dplayx passes a fixed size (80); the address's own total-size element says how long it is. */
    if ( first && size >= sizeof(*first) + sizeof(DWORD) && IsEqualGUID( &first->guidDataType, &DPAID_TotalSize )
         && first->dwDataSize == sizeof(DWORD) && *(const DWORD *)(first + 1) <= 1024 )
        size = *(const DWORD *)(first + 1);
    if ( first && size )
        IDirectPlaySP_EnumAddress( init->lpISP, enum_target_element, first, size, NULL );
    if ( enum_target.sin_addr.s_addr == INADDR_NONE || ( ntohl( enum_target.sin_addr.s_addr ) >> 24 ) != 127 )
        enum_target.sin_addr.s_addr = 0;
    if ( !enum_target.sin_port )
        enum_target.sin_port = htons( DPWS_PORT );
}

"""

TARGET = r"""if ( !enum_target.sin_addr.s_addr )
    {
        ERR( "interop test: no 127.0.0.0/8 DPAID_INet address, not enumerating\n" );
        closesocket( sock );
        return DPERR_INVALIDPARAMS;
    }
    addr = enum_target;
"""


def edit(text, pattern, replacement, what):
    text, count = re.subn(pattern, lambda m: replacement(m), text, count=1)
    if count != 1:
        sys.exit("patch_dpwsockx: %s not found (is this Wine 10's dpwsockx_main.c?)" % what)
    return text


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    path = sys.argv[1] + "/dlls/dpwsockx/dpwsockx_main.c"
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if "enum_target" in text:
        sys.exit("patch_dpwsockx: %s is already patched" % path)
    text = edit(text, r'#include "wine/dplaysp\.h"\n', lambda m: m.group(0) + '#include "dplobby.h"\n',
                "the provider interface include")
    text = edit(text, r"\nstatic HRESULT WINAPI DPWSCB_EnumSessions\(", lambda m: STATE + m.group(0)[1:],
                "DPWSCB_EnumSessions")
    text = edit(text, r"addr\.sin_addr\.s_addr = htonl\( INADDR_BROADCAST \);\n\s*addr\.sin_port = htons\( DPWS_PORT \);\n",
                lambda m: TARGET, "the broadcast target of EnumSessions")
    text = edit(text, r"(\n(\s*)dpwsData\.lpISP = lpspData->lpISP;\n)",
                lambda m: m.group(1) + m.group(2) + "read_enum_target( lpspData );\n", "SPInit")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
