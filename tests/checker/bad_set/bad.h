/* A definition file with faults, each on a known line. */
OPEN_STRUCT_DECLARATION
    FIELD_UINT16(length);
    FIELD_UINT8(kind);
    FIELD_UINT8();
END_STRUCT_DECLARATION(Packet_t);
DECLARE_COMMAND(PACKET_CMD, MAC_CMD_TYPE, Packet_t, PACKET_OP, WAIT_NEEDED)

FIELD_UINT8(orphan);

/* The processor word is not one of the two. */
DECLARE_COMMAND(DSP_CMD, DSP_CMD_TYPE, Packet_t, PACKET_OP, WAIT_NEEDED)

/* The symbol is not in the map file. */
DECLARE_MEM_OP(LOST_OP, MAC_FILE_TYPE, Packet_t, g_notThere)

START_EVENTS_ENUM(PHY_CMD_TYPE)
    ENUM_EVENTS_WITH_VALUE(PACKET_EVT, 0x10)
    ENUM_EVENTS_NO_VALUE(PACKET_DONE_EVT)
END_EVENTS_ENUM
