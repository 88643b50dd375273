# opencryptoki 3.8.1, software token: where its answers are its own.
# opens a session without CKF_SERIAL_SESSION
session.withoutSerialFlag = 0
# CKR_FUNCTION_FAILED: nothing to sign
sign.empty = 6
encrypt.empty.rsapkcs = 6
decrypt.wrongPadding = 6
