# NSS 3.87 softoken through pkcs11-spy and p11-kit-proxy 0.24: where its answers are its own.
# p11-kit's proxy counts initialisations: a second C_Initialize succeeds and takes a second
# C_Finalize
initialize.counted = yes
# opens a session without CKF_SERIAL_SESSION
session.withoutSerialFlag = 0
# C_FindObjects without C_FindObjectsInit finds nothing
search.findWithoutInit = 10030
# C_FindObjectsFinal without a search succeeds
search.finalWithoutInit = 0
# CKR_KEY_TYPE_INCONSISTENT
sign.withPublicKey = 99
# object handles are 32 bits wide: bit 32 is ignored
handle.objectBits = 32
# CKR_ARGUMENTS_BAD: no RSA key with the exponent 3
generateKeyPair.exponent3 = 7
# CKR_DEVICE_ERROR, not CKR_DATA_LEN_RANGE
encrypt.tooLong.rsapkcs = 48
# wraps a session key made with CKA_EXTRACTABLE false
wrapKey.unextractable = 0
# C_FindObjectsInit during a search starts it again
search.initDuringSearch = 0
