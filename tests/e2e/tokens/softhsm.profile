# SoftHSM2 2.6.1: where its answers are its own.
token.counters = 0 0 0 0 0 0 0 0
# counts a wrong PIN: CKF_USER_PIN_COUNT_LOW
login.wrongPinFlags = 0x10000
# CKR_OBJECT_HANDLE_INVALID, not CKR_KEY_HANDLE_INVALID
key.invalidHandle = 130
# CKR_GENERAL_ERROR, not CKR_DATA_LEN_RANGE
encrypt.tooLong.rsapkcs = 5
encrypt.tooLong.rsapkcsoaep = 5
# CKR_GENERAL_ERROR, not CKR_ENCRYPTED_DATA_INVALID
decrypt.wrongPadding = 5
