#ifndef QOR_SNMP_SNMP_VALUES_H_
#define QOR_SNMP_SNMP_VALUES_H_

#include <cstdint>

#include "snmp/snmp_api.h"

// Text forms of SNMP values and codes; every value the driver takes from a
// unit becomes one of these texts before anything else looks at it.

// Writes the value's text into |out| (capacity |size| including the
// terminator); returns the length written. Size 0 writes nothing.
int formatValue(const smiVALUE* value, uint32_t size, char* out);

// Dotted decimal of |oid| into |out| (capacity |size|); returns the length.
// An empty OID, or one whose text does not fit whole, gives the empty text
// and 0: a cut OID could name another object.
int formatOid(const smiOID* oid, uint32_t size, char* out);

// Fixed text of an SNMP layer error code; "Other SNMP Error" when unknown.
const char* errorText(uint32_t code);

// Fixed text of a PDU error status: "SNMP_ERROR_NOSUCHNAME" and the like;
// empty for 0 and anything above 18.
const char* errorStatusName(int32_t errorStatus);

#endif  // QOR_SNMP_SNMP_VALUES_H_
