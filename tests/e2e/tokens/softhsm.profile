# SoftHSM2 2.6.1: where its answers are its own.
# CKR_OBJECT_HANDLE_INVALID, not CKR_KEY_HANDLE_INVALID
key.invalidHandle = 130
# CKR_GENERAL_ERROR, not CKR_DATA_LEN_RANGE
encrypt.tooLong.rsapkcs = 5
encrypt.tooLong.rsapkcsoaep = 5
# CKR_GENERAL_ERROR, not CKR_ENCRYPTED_DATA_INVALID
decrypt.wrongPadding = 5
