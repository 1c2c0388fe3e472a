/* An EEPROM layout of some kilobytes (the section is padded to its
 * length), so that a whole burn takes several progress slices. */
EEPROM_CEM_SECTION(CalibrationSection, 0A0001, 4096)
    EEPROM_FIELD_DOUBLE(Gain, 2, 8.8, 0, 0, 1.5)
    EEPROM_FIELD_CHAR(Tag, 4, 0x54, 0x42, 0x45, 0x31)
EEPROM_END_SECTION

EEPROM_EOB_SECTION
