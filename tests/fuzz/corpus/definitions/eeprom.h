/*
 * The EEPROM layout: sections of fields, each section padded to its declared
 * length, and the end-of-block mark.
 */
#ifndef ZRX4620_EEPROM_H
#define ZRX4620_EEPROM_H

EEPROM_CEM_SECTION(ManufacturingSection, 0A0001, 32)
    EEPROM_FIELD_CHAR(MacAddress, 6, 0x00, 0x50, 0xC2, 0x12, 0x34, 0x56)
    EEPROM_FIELD_CHAR(SerialNumber, 8, 0x5A, 0x52, 0x58, 0x30, 0x30, 0x30, 0x30, 0x31)
    EEPROM_FIELD_DOUBLE(CrystalTrim, 2, 4.8, 0, 1, -1.5)
EEPROM_END_SECTION

EEPROM_CER_SECTION(RadioSection, 02, 24)
    EEPROM_FIELD_DOUBLE(TxPowerGain, 2, 8.8, 0, 0, 12.25)
    EEPROM_FIELD_DOUBLE(RxGainStep, 1, 4.4, 0, 0, 0.5)
    EEPROM_FIELD_DOUBLE(AgcThreshold, 1, 4.0, 4, 0, 3)
    EEPROM_FIELD_REGISTER(RfControl, 0x0104, 0x00001F3C)
EEPROM_END_SECTION

EEPROM_EOB_SECTION

#endif
