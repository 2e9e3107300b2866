// Radio shutdown: the power-off command and the recognition of the radio's answer.
#pragma once

#include "platform/platform.h"

#define RIL_PORT_INDEX    1
#define RIL_CMD_POWER_OFF 6000
// Radio-state payload: a field mask at byte 4 (bit 0: the state word is present) and the
// radio's power state at byte 8, 1 meaning off.
#define RIL_STATE_PARAM_MASK_OFFSET 4
#define RIL_STATE_VALUE_OFFSET      8
#define RIL_STATE_PAYLOAD_BYTES     12
#define RIL_STATE_PARAM_STATE       0x00000001u
#define RIL_RADIO_STATE_OFF         1

extern HRIL g_hRil;
// Whether RIL_Initialize succeeded: without it no confirmation can ever come.
extern std::atomic<BOOL> g_bRilInitialized;

// Attaches to the radio layer and sends the power-off command; does not wait for the answer.
void RilShutDown(void);
// True when a notification reports the radio off: the radio-state code with a whole record whose
// mask carries the state word and whose state is off.
BOOL IsRadioPowerOffReport(DWORD dwCode, const void *lpData, DWORD cbData);
// Radio notifications; signals g_hRilPowerOffEvent when the radio reports itself off.
void NotifyProc(DWORD dwCode, const void *lpData, DWORD cbData, DWORD dwParam);
// Results of radio commands; nothing to do with them.
void ResultProc(DWORD dwCode, HRESULT hrCmdID, const void *lpData, DWORD cbData, DWORD dwParam);
