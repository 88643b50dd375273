# opencryptoki 3.8.1, software token: where its answers are its own.
# unlimited sessions are 2^64 - 2; unavailable figures read 0
token.counters = 18446744073709551614 0 18446744073709551614 0 0 0 0 0
# opens a session without CKF_SERIAL_SESSION
session.withoutSerialFlag = 0
# CKR_FUNCTION_FAILED: nothing to sign
sign.empty = 6
encrypt.empty.rsapkcs = 6
decrypt.wrongPadding = 6
# counts a wrong PIN: CKF_USER_PIN_COUNT_LOW
login.wrongPinFlags = 0x10000
# the time of day in utcTime, not the date and time
token.clock = [0-9]{2}:[0-9]{2}:[0-9]{2}
