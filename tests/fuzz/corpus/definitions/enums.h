/*
 * ZRX4620 console definitions: opcodes, tunnel constants and named values.
 *
 * One macro call per line. Lines that are not one of the known calls
 * (comments, preprocessor lines, braces) are skipped by the library.
 */
#ifndef ZRX4620_ENUMS_H
#define ZRX4620_ENUMS_H

/* The PHY tunnel header that carries PHY commands through the MAC mailbox. */
START_ENUM
    ENUM_WITH_VALUE(CMD_TUNNEL_TO_PHY, 0x0F00)
    ENUM_WITH_VALUE(PHY_CONSOLE_CMD, 0x0004)
END_ENUM

/* PHY console opcodes (8 bits). */
START_ENUM
    ENUM_WITH_VALUE(PHYC_SET_CHANNEL_OP, 0x10)
    ENUM_NO_VALUE(PHYC_SET_GAIN_OP)           // 0x11
    ENUM_NO_VALUE(PHYC_GET_STATUS_OP)         // 0x12
    ENUM_NO_VALUE(PHYC_CAPTURE_DATA_OP)       // 0x13
    ENUM_NO_VALUE(PHYC_RESET_OP)              // 0x14
    ENUM_OR_VALUE(PHYC_DEBUG_OP, 0x80, PHYC_SET_CHANNEL_OP)  // 0x90
END_ENUM

/* MAC opcodes (16 bits): command group x 256 + index in the group. */
START_ENUM
    ENUM_WITH_VALUE(UMAC_GROUP_CONFIG, 0x01)
    ENUM_NO_VALUE(UMAC_GROUP_STATS)
END_ENUM

START_ENUM
    ENUM_COMBINED_NO_VALUE(UMAC_SET_ADDRESS_OP, UMAC_GROUP_CONFIG)      // 0x0100
    ENUM_COMBINED_NO_VALUE(UMAC_SET_MODE_OP, UMAC_GROUP_CONFIG)         // 0x0101
    ENUM_COMBINED_WITH_VALUE(UMAC_GET_STATS_OP, UMAC_GROUP_STATS, 0x00) // 0x0200
END_ENUM

/* Values a console command may name instead of a number. */
USER_PREDEFINE_VALUE(CHANNEL_DEFAULT, 6)
USER_PREDEFINE_VALUE(GAIN_MAX, 31)
USER_PREDEFINE_VALUE(GAIN_MIN, -32)
USER_PREDEFINE_VALUE(MODE_MONITOR, 0x3)

/* The MAC command mailbox (these are also the library's defaults). */
USER_PREDEFINE_VALUE(MAC_COMMAND_BUFFER_ADDRESS, 0xBFE30000)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_READ_ADDRESS, 0xBF108300)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_WRITE_ADDRESS, 0xBF108240)

#endif
