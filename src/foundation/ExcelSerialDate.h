#pragma once
// Spreadsheet serial dates: 1 = 1 January 1900, with the nonexistent 29 February 1900 as day 60
// (so 61 = 1 March 1900 and 36526 = 1 January 2000).
#include <cstdint>

void convertExcelSerialDateToDMY(uint16_t serial, uint8_t& day, uint8_t& month, uint16_t& year);
// 0 for a date that does not exist or lies outside serials 1..65535.
uint16_t convertDMYToExcelSerialDate(uint8_t day, uint8_t month, uint16_t year);
