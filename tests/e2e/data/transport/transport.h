/*
 * Definitions for the transport end-to-end tests: MAC commands of 40 bytes
 * (a 4-byte header and a 36-byte structure), one answered with an event, one
 * needing none, and the event that echoes a MAC command. The mailbox is at
 * the library's default addresses.
 */
START_ENUM
    ENUM_WITH_VALUE(MAC_BLOCK_OP, 0x0A01)
    ENUM_NO_VALUE(MAC_BLOCK_QUIET_OP)
END_ENUM

OPEN_STRUCT_DECLARATION
    FIELD_UINT32(w0);
    FIELD_UINT32(w1);
    FIELD_UINT32(w2);
    FIELD_UINT32(w3);
    FIELD_UINT32(w4);
    FIELD_UINT32(w5);
    FIELD_UINT32(w6);
    FIELD_UINT32(w7);
    FIELD_UINT32(w8);
END_STRUCT_DECLARATION(MacBlock_t);
DEFINE_DEFAULT_VALUE(MacBlock_t, w0, 0x11223344)

DECLARE_COMMAND(MAC_BLOCK_CMD, MAC_CMD_TYPE, MacBlock_t, MAC_BLOCK_OP, WAIT_NEEDED)
DECLARE_COMMAND(MAC_BLOCK_QUIET_CMD, MAC_CMD_TYPE, MacBlock_t, MAC_BLOCK_QUIET_OP, WAIT_NOT_NEEDED)

START_EVENTS_ENUM(PHY_CMD_TYPE)
    ENUM_EVENTS_WITH_VALUE(UMAC_GENERAL_EVT, 0x42)
END_EVENTS_ENUM
