#pragma once
// Result codes in the platform's COM style: 0 success, negative failure. DirectPlay's
// codes are passed on unchanged, so their numeric values are part of what the operator
// sees ("0x%08X" in error boxes).
#include <cstdint>

namespace qd {

using HRESULT = int32_t;

constexpr HRESULT hr(uint32_t v) { return static_cast<HRESULT>(v); }
// DirectPlay's facility: 0x8877 in the high word, the code in the low word.
constexpr HRESULT dp_error(uint32_t code) { return hr(0x88770000u | code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hr(0x80004001);
constexpr HRESULT E_NOINTERFACE = hr(0x80004002);
constexpr HRESULT E_FAIL = hr(0x80004005);
constexpr HRESULT E_PENDING = hr(0x8000000A);
constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000E);
constexpr HRESULT E_INVALIDARG = hr(0x80070057);

constexpr HRESULT DPERR_ALREADYINITIALIZED = dp_error(5);  // 0x88770005
constexpr HRESULT DPERR_ACCESSDENIED = dp_error(10);  // 0x8877000A
constexpr HRESULT DPERR_ACTIVEPLAYERS = dp_error(20);  // 0x88770014
constexpr HRESULT DPERR_BUFFERTOOSMALL = dp_error(30);  // 0x8877001E
constexpr HRESULT DPERR_CANTADDPLAYER = dp_error(40);  // 0x88770028
constexpr HRESULT DPERR_CANTCREATEGROUP = dp_error(50);  // 0x88770032
constexpr HRESULT DPERR_CANTCREATEPLAYER = dp_error(60);  // 0x8877003C
constexpr HRESULT DPERR_CANTCREATESESSION = dp_error(70);  // 0x88770046
constexpr HRESULT DPERR_CAPSNOTAVAILABLEYET = dp_error(80);  // 0x88770050
constexpr HRESULT DPERR_EXCEPTION = dp_error(90);  // 0x8877005A
constexpr HRESULT DPERR_INVALIDFLAGS = dp_error(120);  // 0x88770078
constexpr HRESULT DPERR_INVALIDOBJECT = dp_error(130);  // 0x88770082
constexpr HRESULT DPERR_INVALIDPLAYER = dp_error(150);  // 0x88770096
constexpr HRESULT DPERR_INVALIDGROUP = dp_error(155);  // 0x8877009B
constexpr HRESULT DPERR_NOCAPS = dp_error(160);  // 0x887700A0
constexpr HRESULT DPERR_NOCONNECTION = dp_error(170);  // 0x887700AA
constexpr HRESULT DPERR_NOMESSAGES = dp_error(190);  // 0x887700BE
constexpr HRESULT DPERR_NONAMESERVERFOUND = dp_error(200);  // 0x887700C8
constexpr HRESULT DPERR_NOPLAYERS = dp_error(210);  // 0x887700D2
constexpr HRESULT DPERR_NOSESSIONS = dp_error(220);  // 0x887700DC
constexpr HRESULT DPERR_SENDTOOBIG = dp_error(230);  // 0x887700E6
constexpr HRESULT DPERR_TIMEOUT = dp_error(240);  // 0x887700F0
constexpr HRESULT DPERR_UNAVAILABLE = dp_error(250);  // 0x887700FA
constexpr HRESULT DPERR_BUSY = dp_error(270);  // 0x8877010E
constexpr HRESULT DPERR_USERCANCEL = dp_error(280);  // 0x88770118
constexpr HRESULT DPERR_CANNOTCREATESERVER = dp_error(290);  // 0x88770122
constexpr HRESULT DPERR_PLAYERLOST = dp_error(300);  // 0x8877012C
constexpr HRESULT DPERR_SESSIONLOST = dp_error(310);  // 0x88770136
constexpr HRESULT DPERR_UNINITIALIZED = dp_error(320);  // 0x88770140
constexpr HRESULT DPERR_NONEWPLAYERS = dp_error(330);  // 0x8877014A
constexpr HRESULT DPERR_INVALIDPASSWORD = dp_error(340);  // 0x88770154
constexpr HRESULT DPERR_CONNECTING = dp_error(350);  // 0x8877015E
constexpr HRESULT DPERR_CONNECTIONLOST = dp_error(360);  // 0x88770168
constexpr HRESULT DPERR_UNKNOWNMESSAGE = dp_error(370);  // 0x88770172
constexpr HRESULT DPERR_CANCELFAILED = dp_error(380);  // 0x8877017C
constexpr HRESULT DPERR_INVALIDPRIORITY = dp_error(390);  // 0x88770186
constexpr HRESULT DPERR_NOTHANDLED = dp_error(400);  // 0x88770190
constexpr HRESULT DPERR_CANCELLED = dp_error(410);  // 0x8877019A
constexpr HRESULT DPERR_ABORTED = dp_error(420);  // 0x887701A4
constexpr HRESULT DPERR_BUFFERTOOLARGE = dp_error(1000);  // 0x887703E8
constexpr HRESULT DPERR_CANTCREATEPROCESS = dp_error(1010);  // 0x887703F2
constexpr HRESULT DPERR_APPNOTSTARTED = dp_error(1020);  // 0x887703FC
constexpr HRESULT DPERR_INVALIDINTERFACE = dp_error(1030);  // 0x88770406
constexpr HRESULT DPERR_NOSERVICEPROVIDER = dp_error(1040);  // 0x88770410
constexpr HRESULT DPERR_UNKNOWNAPPLICATION = dp_error(1050);  // 0x8877041A
constexpr HRESULT DPERR_NOTLOBBIED = dp_error(1070);  // 0x8877042E
constexpr HRESULT DPERR_GENERIC = E_FAIL;
constexpr HRESULT DPERR_INVALIDPARAMS = E_INVALIDARG;
constexpr HRESULT DPERR_NOMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DPERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DPERR_PENDING = E_PENDING;
constexpr HRESULT DPERR_UNSUPPORTED = E_NOTIMPL;
constexpr HRESULT DPERR_NOINTERFACE = E_NOINTERFACE;

constexpr bool SUCCEEDED(HRESULT h) { return h >= 0; }
constexpr bool FAILED(HRESULT h) { return h < 0; }

}  // namespace qd
