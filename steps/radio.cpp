// Radio shutdown.
#include "steps/radio.h"

#include "app/shutdown.h"

HRIL g_hRil = NULL;
std::atomic<BOOL> g_bRilInitialized(FALSE);

static DWORD ReadPayloadWord(const BYTE *pbPayload, DWORD dwOffset)
{
    return (DWORD)pbPayload[dwOffset] | ((DWORD)pbPayload[dwOffset + 1] << 8) |
           ((DWORD)pbPayload[dwOffset + 2] << 16) | ((DWORD)pbPayload[dwOffset + 3] << 24);
}

void ResultProc(DWORD dwCode, HRESULT hrCmdID, const void *lpData, DWORD cbData, DWORD dwParam)
{
    UNREFERENCED_PARAMETER(dwCode);
    UNREFERENCED_PARAMETER(hrCmdID);
    UNREFERENCED_PARAMETER(lpData);
    UNREFERENCED_PARAMETER(cbData);
    UNREFERENCED_PARAMETER(dwParam);
}

BOOL IsRadioPowerOffReport(DWORD dwCode, const void *lpData, DWORD cbData)
{
    if (dwCode != RIL_NOTIFY_RADIOSTATECHANGED) {
        return FALSE;
    }
    // A notification without the whole record is ignored rather than read past its end.
    if (lpData == NULL || cbData < RIL_STATE_PAYLOAD_BYTES) {
        return FALSE;
    }
    const BYTE *pbPayload = (const BYTE *)lpData;
    if ((ReadPayloadWord(pbPayload, RIL_STATE_PARAM_MASK_OFFSET) & RIL_STATE_PARAM_STATE) == 0) {
        return FALSE;
    }
    return ReadPayloadWord(pbPayload, RIL_STATE_VALUE_OFFSET) == RIL_RADIO_STATE_OFF;
}

void NotifyProc(DWORD dwCode, const void *lpData, DWORD cbData, DWORD dwParam)
{
    UNREFERENCED_PARAMETER(dwParam);
    NKDbgPrintfW(TEXT("[RIL|NotifyProc] dwCode = %d\r\n"), dwCode);
    if (!IsRadioPowerOffReport(dwCode, lpData, cbData)) {
        return;
    }
    NKDbgPrintfW(TEXT("[RIL|NotifyProc] Power Off OK + \r\n"));
    if (g_hRilPowerOffEvent != NULL) {
        SetEvent(g_hRilPowerOffEvent);
    }
}

void RilShutDown(void)
{
    BYTE rgbCommand[4];
    DWORD dwCommand = RIL_CMD_POWER_OFF;

    rgbCommand[0] = (BYTE)(dwCommand & 0xFF);
    rgbCommand[1] = (BYTE)((dwCommand >> 8) & 0xFF);
    rgbCommand[2] = (BYTE)((dwCommand >> 16) & 0xFF);
    rgbCommand[3] = (BYTE)((dwCommand >> 24) & 0xFF);

    HRESULT hr =
        RIL_Initialize(RIL_PORT_INDEX, ResultProc, NotifyProc, RIL_NCLASS_RADIOSTATE, 0, &g_hRil);
    if (hr != 0) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("RilShutDown"));
        NKDbgPrintfW(TEXT("RIL_Initialize error\r\n"));
    } else {
        g_bRilInitialized = TRUE;
    }

    hr = RIL_DevSpecific(g_hRil, rgbCommand, sizeof(rgbCommand));
    if (hr != 0) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("RilShutDown"));
        NKDbgPrintfW(TEXT("RIL_DevSpecific error\r\n"));
    }
}
