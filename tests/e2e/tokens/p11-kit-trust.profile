# p11-kit-trust 0.24: a read-only token of CA certificates.
cases = version-before-load lifecycle-without-driver load-driver-unloadable-paths load-driver-not-a-pkcs11-module load-driver initialize-finalize-cycle initialize-finalize-repeated reload-after-finalize slot-list certificate-paging finalize-at-exit
# counts initialisations: a second C_Initialize succeeds and takes a second C_Finalize
initialize.counted = yes
