#pragma once
// The GPS fix of a device, read from the RMC sentence of its NMEA 0183 text.

// Finds the first RMC sentence of any GNSS talker ($GPRMC, $GNRMC, $GLRMC, ...;
// a receiver's own $P... sentences are skipped) in `text`, checks it and
// converts it (minutes with 1 to 7 decimals): latitude and longitude in signed
// decimal degrees (north and east positive), speed in km/h, course in degrees.
//
// Each output may be null; a null output is not written, but its field is
// still checked. Result and outputs:
//   - true: a valid sentence; every given output holds its value.
//   - false, outputs untouched: no text, no RMC tag, no '*' after the tag, or
//     the mode indicator 'N' (data not valid) right before the '*'.
//   - false, every given output set to 0: the sentence was found but a field
//     is missing or malformed, or the checksum does not match.
//
// Allocates nothing, keeps no state, never modifies `text`, ignores the
// process locale; safe to call from any thread.
bool ParseGPRMC(const char* text, double* latitude, double* longitude, double* speed,
                double* course);
