/* A line longer than the parser reads: the rest of it is ignored. */
START_ENUM
/* This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. This comment runs on. */
END_ENUM
/* Names the set does not declare, and names declared twice: the later one replaces the earlier. */
START_ENUM
    ENUM_WITH_VALUE(SPARE_OP, 0x21)
    ENUM_NO_VALUE(SPARE_OP)
END_ENUM
DECLARE_COMMAND(GHOST_CMD, PHY_CMD_TYPE, Ghost_t, SPARE_OP, WAIT_NEEDED)
DECLARE_COMMAND(PACKET_CMD, MAC_CMD_TYPE, Packet_t, SPARE_OP, WAIT_NEEDED)
/* A structure declared again replaces the earlier layout. */
OPEN_STRUCT_DECLARATION
    FIELD_UINT8(kind);
END_STRUCT_DECLARATION(Packet_t);
/* A numeric EEPROM field whose format needs more bits than its size holds. */
EEPROM_CEM_SECTION(SpareSection, 0A0009, 8)
    EEPROM_FIELD_DOUBLE(WideGain, 1, 4.8, 0, 0, 1.0)
EEPROM_END_SECTION
