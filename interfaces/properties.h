// Android system properties (closed platform library).
#pragma once

// Size of a property value buffer, terminating zero byte included.
inline constexpr int PROPERTY_VALUE_MAX = 92;

// Copies the value of `key`, or `default_value` when the property is unset or
// empty, into `value` (PROPERTY_VALUE_MAX bytes): at most 91 bytes and a zero
// byte. Returns the number of bytes copied, without the zero byte.
int property_get(const char* key, char* value, const char* default_value);
