# tpm2-pkcs11 1.9.0 on swtpm: where its answers are its own.
# starts signing with the public key
sign.withPublicKey = 0
# session handles carry the slot in their top byte (above 2^56); C_SignInit with a handle of that
# shape it never gave out dereferences a null pointer
handle.forgedSession = crashes
# CKR_ATTRIBUTE_VALUE_INVALID: the public key must be a token object, and the library asks for a
# session one
generateKeyPair = 19
# CKR_FUNCTION_NOT_SUPPORTED
generateKey = 84
wrapKey = 84
# C_Encrypt reports the length of the buffer it was given, 4096, not the cipher text's
encrypt.reportedLength = 4096
# CKR_GENERAL_ERROR, not CKR_DATA_LEN_RANGE
encrypt.tooLong.rsapkcs = 5
encrypt.tooLong.rsapkcsoaep = 5
# a failed C_Encrypt or C_Decrypt leaves its operation active: every later init in the session
# answers CKR_OPERATION_ACTIVE
failure.keepsOperation = yes
decrypt.wrongPadding = 5
# CKR_KEY_HANDLE_INVALID for an object handle it does not have, not CKR_OBJECT_HANDLE_INVALID
object.invalidHandle = 96
