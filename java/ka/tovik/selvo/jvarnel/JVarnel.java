package ka.tovik.selvo.jvarnel;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.URL;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.EnumSet;
import java.util.Locale;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/**
 * Java entry points of the Varnel bridge to a PKCS#11 driver.
 *
 * <p>Every method answers in text and never throws. A <em>status</em> is the decimal text of the
 * outcome: {@code "0"} on success, otherwise the driver's CK_RV as a signed 32-bit decimal (values
 * from 0x80000000 read negative), or one of the bridge's own codes from 10001 to 10066. A method
 * that returns a {@code String[]} puts the status at element 0 and its results after it; the array
 * has its full length on failure too, with {@code ""} in the elements not produced. Handles travel
 * as unsigned decimal text and come back as {@code int} (slot IDs) or {@code long} (sessions,
 * objects). Binary data comes back as Base64 text without line breaks.
 *
 * <p>Calling order: {@link #LoadDriver}, {@link #Initialize}, {@link #GetSlotList},
 * {@link #OpenSession}, {@link #Login}, the operations, then {@link #LogOut},
 * {@link #CloseSession} and {@link #Finalize}. The driver is initialised for one thread at a time:
 * call the class from one thread at a time, and never run {@code LoadDriver} beside another call.
 *
 * <p>{@code Sign}, {@code Encrypt}, {@code Decrypt}, {@code WrapKey}, {@code UnwrapKey}, {@code
 * GetAttributeValue} and {@code LoadDriver} answer {@code "2"} (CKR_HOST_MEMORY), without calling
 * the driver, when the calling thread has too little stack left for their buffers.
 *
 * <p>Every method that needs a driver entry point the loaded driver lacks answers that entry
 * point's code without calling the driver: the codes 10002 to 10061 named in each method below.
 *
 * <p>Loading: the class initialiser calls {@code System.loadLibrary("Varnel")}, so a library on
 * {@code java.library.path} wins. Only where that fails, and the class came from a jar holding a
 * native library for this operating system and architecture, does it extract that library into a
 * new directory only its user may enter, check its SHA-256, load it and delete it (on Windows,
 * where a loaded library cannot be deleted, the next load deletes it). The system property
 * {@value #EXTRACT_PROPERTY}{@code =false} turns extraction off; {@value #TMPDIR_PROPERTY} names
 * the folder the directory is made in (default {@code java.io.tmpdir}).
 */
public final class JVarnel {
    /** Name passed to {@link System#loadLibrary(String)}. */
    public static final String LIBRARY_NAME = "Varnel";

    /** System property that, set to {@code false}, keeps the class from extracting its native library. */
    public static final String EXTRACT_PROPERTY = "varnel.extract";

    /** System property naming the folder where the native library is extracted. */
    public static final String TMPDIR_PROPERTY = "varnel.tmpdir";

    /** The natives inside the jar, beside this class: natives/OS-ARCH/FILE and their checksums. */
    private static final String NATIVES = "natives/";
    private static final String CHECKSUMS = NATIVES + "SHA256SUMS";
    private static final String DIRECTORY_PREFIX = "varnel-";
    private static final String LOCK_FILE = ".lock";
    /** What makePrivateDirectory names: varnel-PID-RANDOM. Nothing else is ever removed. */
    private static final Pattern LEFTOVER_NAME = Pattern.compile(Pattern.quote(DIRECTORY_PREFIX) + "[0-9]+-[0-9]+");
    /** A leftover without its lock file is removed once this old, when its process cannot be asked. */
    private static final long UNLOCKED_LEFTOVER_MILLIS = TimeUnit.HOURS.toMillis(1);

    private JVarnel() {
    }

    /**
     * Loads the PKCS#11 driver at {@code path} and resolves its 24 entry points. Must not run
     * beside any other call.
     *
     * @param path the driver's file
     * @return the status: 10001 (the driver could not be loaded, the path is empty, or it leads
     *     the loader to anything but a regular file), 10033
     *     (the path is null), or the code of the first entry point the driver lacks, in the order
     *     resolved: 10002 (C_Initialize), 10016 (C_Finalize), 10004 (C_GetSlotList), 10006
     *     (C_OpenSession), 10008 (C_Login), 10014 (C_CloseSession), 10039 (C_GetAttributeValue),
     *     10042 (C_SetAttributeValue), 10010 (C_GenerateKeyPair), 10028 (C_FindObjectsFinal), 10026
     *     (C_FindObjects), 10024 (C_FindObjectsInit), 10022 (C_Sign), 10020 (C_SignInit), 10012
     *     (C_Logout), 10047 (C_GetTokenInfo), 10048 (C_DestroyObject), 10054 (C_EncryptInit), 10053
     *     (C_Encrypt), 10052 (C_DecryptInit), 10051 (C_Decrypt), 10059 (C_UnwrapKey), 10060
     *     (C_WrapKey), 10061 (C_GenerateKey)
     */
    public static native String LoadDriver(String path);

    /**
     * Calls C_Initialize with a null argument: the driver may assume one thread at a time.
     *
     * @return the status: the driver's, or 10002 (no C_Initialize)
     */
    public static native String Initialize();

    /**
     * Calls C_Finalize.
     *
     * @return the status: the driver's, or 10016 (no C_Finalize)
     */
    public static native String Finalize();

    /**
     * The bridge's version; may be called before {@link #LoadDriver}.
     *
     * @return {status "0", version such as "V1_3_0"}
     */
    public static native String[] GetVersion();

    /**
     * Lists the driver's slots.
     *
     * @param tokenPresent non-zero to list only slots holding a token
     * @return {status, slot ID, ...}: one element per slot; the status is the driver's, 10031 (no
     *     slot, or more than 99) or 10004 (no C_GetSlotList)
     */
    public static native String[] GetSlotList(int tokenPresent);

    /**
     * Describes the token in a slot; no session needed.
     *
     * @param slotID a slot ID that {@link #GetSlotList} listed
     * @return 19 elements: {status, label, manufacturerID, model, serialNumber, ulMaxSessionCount,
     *     ulSessionCount, ulMaxRwSessionCount, ulRwSessionCount, ulMaxPinLen, ulMinPinLen,
     *     ulTotalPublicMemory, ulFreePublicMemory, ulTotalPrivateMemory, ulFreePrivateMemory,
     *     hardwareVersion, firmwareVersion, utcTime, flags}: the texts as the token pads them (label
     *     and manufacturerID 32 characters, model, serialNumber and utcTime 16, blanks kept), the
     *     counters and the flags in decimal (an unavailable figure reads 0), the versions as
     *     "major.minor"; the status is the driver's or 10047 (no C_GetTokenInfo)
     */
    public static native String[] GetTokenInfo(int slotID);

    /**
     * Opens a session on a slot.
     *
     * @param slotID a slot ID that {@link #GetSlotList} listed
     * @param flags CKF_ flags: CKF_SERIAL_SESSION (4), plus CKF_RW_SESSION (2) to change objects
     * @return {status, session handle}; the status is the driver's or 10006 (no C_OpenSession)
     */
    public static native String[] OpenSession(int slotID, int flags);

    /**
     * Logs a user into the session's token.
     *
     * @param session a handle that {@link #OpenSession} returned
     * @param userType CKU_SO (0) or CKU_USER (1)
     * @param pin the PIN
     * @return the status: the driver's, 10034 (the PIN is null) or 10008 (no C_Login)
     */
    public static native String Login(long session, int userType, String pin);

    /**
     * Logs the user out of the session's token.
     *
     * @param session the session
     * @return the status: the driver's or 10012 (no C_Logout)
     */
    public static native String LogOut(long session);

    /**
     * Closes the session.
     *
     * @param session the session
     * @return the status: the driver's or 10014 (no C_CloseSession)
     */
    public static native String CloseSession(long session);

    /**
     * Starts a search of one of three kinds: 0, objects with the label; 1, private token objects
     * with the label; 2, all certificates (the label is not used).
     *
     * @param session the session
     * @param label the CKA_LABEL searched for (kinds 0 and 1)
     * @param searchKind 0, 1 or 2
     * @return the status: the driver's, 10036 (the label is null for kind 0 or 1), 10050 (another
     *     kind) or 10024 (no C_FindObjectsInit)
     */
    public static native String FindObjectsInit(long session, String label, int searchKind);

    /**
     * Fetches up to 100 handles of the current search's objects; call again until it answers 10030.
     *
     * @param session the session
     * @return {status, object handle, ...}; the status is the driver's, 10030 (no further object) or
     *     10026 (no C_FindObjects)
     */
    public static native String[] FindObjects(long session);

    /**
     * Ends the current search.
     *
     * @param session the session
     * @return the status: the driver's or 10028 (no C_FindObjectsFinal)
     */
    public static native String FindObjectsFinal(long session);

    /**
     * Reads one attribute of an object. "certificate" reads the object's CKA_VALUE; the other
     * keywords read CKA_MODULUS, CKA_LABEL, CKA_PUBLIC_EXPONENT, CKA_ENCRYPT and CKA_WRAP together,
     * so the object must have all five (an RSA public key).
     *
     * @param session the session
     * @param object an object handle
     * @param attribute "modulus", "exponent" or "certificate" (Base64 of the value), "label" (the
     *     text), "encrypt" or "wrap" ("\u0001" when true, "" when false)
     * @return {status, value}; the status is the driver's, 10038 (the keyword is null), 10044 (an
     *     unknown keyword), 10041, 10046 or 10049 (the modulus, the exponent or the certificate does
     *     not fit the output) or 10039 (no C_GetAttributeValue)
     */
    public static native String[] GetAttributeValue(long session, long object, String attribute);

    /**
     * Gives two objects, such as the halves of a key pair, one new CKA_LABEL.
     *
     * @param session a read-write session
     * @param firstObject the first object
     * @param secondObject the second object
     * @param label the new label
     * @return the status: the driver's, 10036 (the label is null) or 10042 (no C_SetAttributeValue)
     */
    public static native String SetAttributeValue(long session, long firstObject, long secondObject, String label);

    /**
     * Destroys an object.
     *
     * @param session a read-write session
     * @param object the object
     * @return the status: the driver's or 10048 (no C_DestroyObject)
     */
    public static native String DestroyObject(long session, long object);

    /**
     * Generates an RSA key pair, both halves labelled {@code label}: the private key a private,
     * non-extractable token object that may sign, decrypt and unwrap; the public key a session
     * object that may verify, encrypt and wrap.
     *
     * @param session a read-write session, logged in
     * @param label the keys' CKA_LABEL
     * @param modulusBits the modulus length, such as 2048
     * @param publicExponent the public exponent, big-endian, such as {1, 0, 1}
     * @param publicExponentLength the number of bytes of {@code publicExponent} used
     * @return {status, public-key handle, private-key handle}; the status is the driver's, 10045
     *     (the exponent is null or its length out of range), 10036 (the label is null) or 10010 (no
     *     C_GenerateKeyPair)
     */
    public static native String[] GenerateKeyPair(long session, String label, int modulusBits, byte[] publicExponent,
            int publicExponentLength);

    /**
     * Generates a 256-bit AES key: a private, sensitive token object allowed every use.
     *
     * @param session a read-write session, logged in
     * @param ignored not used
     * @return {status, key handle}; the status is the driver's or 10061 (no C_GenerateKey)
     */
    public static native String[] GenerateKey(long session, int ignored);

    /**
     * Starts a CKM_RSA_PKCS signature (PKCS #1 v1.5 padding of the bytes given: pass a DigestInfo).
     *
     * @param session the session, logged in
     * @param key a private key handle
     * @return the status: the driver's or 10020 (no C_SignInit)
     */
    public static native String SignInit(long session, long key);

    /**
     * Signs data after {@link #SignInit}; each message needs its own SignInit.
     *
     * @param session the session
     * @param data the bytes to sign
     * @param length the number of bytes of {@code data} signed
     * @return {status, Base64 signature}; the status is the driver's, 10035 (the data is null or the
     *     length out of range), 10037 (the signature does not fit the output) or 10022 (no C_Sign)
     */
    public static native String[] Sign(long session, byte[] data, int length);

    /**
     * Starts an encryption: "rsapkcs" (RSA PKCS #1 v1.5) or "rsapkcsoaep" (RSA-OAEP, SHA-1, MGF1
     * with SHA-1, no label).
     *
     * @param session the session
     * @param key a public key handle
     * @param mechanismName "rsapkcs" or "rsapkcsoaep"
     * @return the status: the driver's, 10055 (the keyword is null), 10064 (an unknown keyword) or
     *     10054 (no C_EncryptInit)
     */
    public static native String EncryptInit(long session, long key, String mechanismName);

    /**
     * Encrypts data after {@link #EncryptInit}; each message needs its own EncryptInit.
     *
     * @param session the session
     * @param data the plain bytes
     * @param length the number of bytes of {@code data} encrypted
     * @return {status, Base64 cipher text}; the status is the driver's, 10035 (the data is null or
     *     the length out of range), 10057 (the cipher text does not fit the output) or 10053 (no
     *     C_Encrypt)
     */
    public static native String[] Encrypt(long session, byte[] data, int length);

    /**
     * Starts a decryption: "rsapkcs" or "rsapkcsoaep", as the cipher text was made.
     *
     * @param session the session, logged in
     * @param key a private key handle
     * @param mechanismName "rsapkcs" or "rsapkcsoaep"
     * @return the status: the driver's, 10055 (the keyword is null), 10064 (an unknown keyword) or
     *     10052 (no C_DecryptInit)
     */
    public static native String DecryptInit(long session, long key, String mechanismName);

    /**
     * Decrypts after {@link #DecryptInit}; each message needs its own DecryptInit.
     *
     * @param session the session
     * @param data the cipher text as Base64 text, one byte a character (US-ASCII)
     * @param length the number of bytes of {@code data} decoded, at most 10000
     * @return {status, Base64 plain text}; the status is the driver's, 10065 (the length is over
     *     10000 or past the array), 10035 (the data is null or the length negative), 10063 (the
     *     text does not decode), 10058 (the plain text does not fit the output) or 10051 (no
     *     C_Decrypt)
     */
    public static native String[] Decrypt(long session, byte[] data, int length);

    /**
     * Wraps a secret key with an RSA public key, "rsapkcs" (RSA PKCS #1 v1.5) only.
     *
     * @param session the session
     * @param mechanismName "rsapkcs"
     * @param wrappingKey the RSA public key handle
     * @param keyToWrap the secret key handle
     * @return {status, Base64 wrapped key}; the status is the driver's, 10064 (the keyword is null or
     *     not "rsapkcs"), 10037 (the wrapped key does not fit the output) or 10060 (no C_WrapKey)
     */
    public static native String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap);

    /**
     * Unwraps a key that {@link #WrapKey} wrapped into a new triple-DES session key that may
     * encrypt and decrypt.
     *
     * @param session the session, logged in
     * @param wrappedKey the wrapped key as Base64 text, at most 10000 characters
     * @param unwrappingKey the RSA private key handle
     * @param mechanismName "rsapkcs"
     * @return {status, new key handle}, the handle "0" when none was made; the status is the
     *     driver's, 10064 (the keyword is null or not "rsapkcs"), 10062 (the wrapped key is null),
     *     10066 (it is longer than 10000 characters), 10063 (it does not decode) or 10059 (no
     *     C_UnwrapKey)
     */
    public static native String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName);

    // ---- Loading

    /** Today's way first; the jar's own native only where that fails. */
    private static void load() {
        try {
            System.loadLibrary(LIBRARY_NAME);
        } catch (UnsatisfiedLinkError notOnPath) {
            if ("false".equalsIgnoreCase(System.getProperty(EXTRACT_PROPERTY))) {
                throw notOnPath;
            }
            URL checksums = JVarnel.class.getResource(CHECKSUMS);
            if (checksums == null) {
                throw notOnPath; // not from the jar: no natives to offer
            }
            UnsatisfiedLinkError failed;
            try {
                loadFromJar(checksums);
                return;
            } catch (UnsatisfiedLinkError e) {
                failed = e;
            } catch (IOException | RuntimeException e) {
                failed = linkError("could not extract its native library (" + e + "); set -D" + TMPDIR_PROPERTY
                        + " to a folder of yours, or " + whatToDo(), e);
            }
            failed.addSuppressed(notOnPath);
            throw failed;
        }
    }

    private static String whatToDo() {
        return "put the folder holding " + System.mapLibraryName(LIBRARY_NAME) + " on -Djava.library.path";
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("Varnel: " + message);
        if (cause != null) {
            error.initCause(cause);
        }
        return error;
    }

    /** OS-ARCH of this JVM as the jar names its folders, or null for a platform it cannot name. */
    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        String osName = os.startsWith("linux") ? "linux" : os.startsWith("windows") ? "windows" : null;
        String archName;
        switch (arch) {
            case "amd64":
            case "x86_64":
                archName = "x86_64";
                break;
            case "x86":
            case "i386":
            case "i486":
            case "i586":
            case "i686":
                archName = "x86";
                break;
            case "aarch64":
            case "arm64":
                archName = "aarch64";
                break;
            case "arm":
            case "armv7l":
            case "armhf":
                archName = "armhf";
                break;
            default:
                archName = null;
        }
        return osName == null || archName == null ? null : osName + "-" + archName;
    }

    private static void loadFromJar(URL checksums) throws IOException {
        String platform = platform();
        String file = System.mapLibraryName(LIBRARY_NAME);
        String entry = platform + "/" + file;
        String expected = platform == null ? null : listedChecksum(checksums, entry);
        if (expected == null || JVarnel.class.getResource(NATIVES + entry) == null) {
            throw linkError("its jar holds no native library for this platform (" + System.getProperty("os.name")
                    + ", " + System.getProperty("os.arch") + ", looked for " + NATIVES + entry + "); " + whatToDo(),
                    null);
        }
        Path base = Paths.get(System.getProperty(TMPDIR_PROPERTY, System.getProperty("java.io.tmpdir")));
        Path directory = makePrivateDirectory(base);
        Path library = directory.resolve(file);
        FileChannel lockChannel = null;
        boolean loaded = false;
        try {
            // Held until the directory is gone, or the process is: a later load may remove it then.
            // Locked before it takes its name, so a lock file that can be locked is a dead one's.
            Path newLock = directory.resolve(LOCK_FILE + ".new");
            lockChannel = FileChannel.open(newLock, NEW_FILE, ownerOnly("rw-------"));
            lockChannel.lock();
            Files.move(newLock, directory.resolve(LOCK_FILE), StandardCopyOption.ATOMIC_MOVE);
            removeLeftovers(base, directory);
            String found = copyHashing(NATIVES + entry, library);
            if (!expected.equals(found)) {
                throw linkError("the native library " + NATIVES + entry + " in its jar does not match its SHA-256 (listed "
                        + expected + ", found " + found + "): the jar is damaged or was altered; take a fresh copy and"
                        + " check it against its published checksum. Nothing was loaded.", null);
            }
            try {
                System.load(library.toString());
            } catch (UnsatisfiedLinkError e) {
                throw linkError("could not load the native library it extracted to " + directory + " (" + e.getMessage()
                        + "). If that folder's file system is mounted noexec, set -D" + TMPDIR_PROPERTY
                        + "=<a folder of yours where programs may run>, or " + whatToDo() + ".", e);
            }
            loaded = true;
        } finally {
            // Linux lets a loaded library go at once; Windows keeps it until the process ends, and
            // then the lock goes with the process and a later load removes the directory.
            if (Files.notExists(library) || deletes(library) || !loaded) {
                if (lockChannel != null) {
                    lockChannel.close();
                }
                removeDirectory(directory);
            }
        }
    }

    private static boolean deletes(Path file) {
        try {
            Files.delete(file);
            return true;
        } catch (IOException e) {
            return false;
        }
    }

    /** The checksum SHA256SUMS lists for {@code entry} ("HEX  ENTRY" lines), or null. */
    private static String listedChecksum(URL checksums, String entry) throws IOException {
        byte[] text;
        try (InputStream in = checksums.openStream()) {
            text = readAll(in);
        }
        for (String line : new String(text, StandardCharsets.US_ASCII).split("\n")) {
            int space = line.indexOf("  ");
            if (space > 0 && line.substring(space + 2).trim().equals(entry)) {
                return line.substring(0, space).toLowerCase(Locale.ROOT);
            }
        }
        return null;
    }

    private static byte[] readAll(InputStream in) throws IOException {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        for (int n; (n = in.read(buffer)) > 0;) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    private static final Set<StandardOpenOption> NEW_FILE = EnumSet.of(StandardOpenOption.CREATE_NEW,
            StandardOpenOption.WRITE);

    /** POSIX permissions whatever the umask; elsewhere none (Windows: the user's own %TEMP%). */
    private static FileAttribute<?>[] ownerOnly(String permissions) {
        if (!FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            return new FileAttribute<?>[0];
        }
        return new FileAttribute<?>[] {
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString(permissions)),
        };
    }

    /** A new directory in {@code base} that only this user may enter, named for this process. */
    private static Path makePrivateDirectory(Path base) throws IOException {
        return Files.createTempDirectory(base, DIRECTORY_PREFIX + processId() + "-", ownerOnly("rwx------"));
    }

    /** This process's ID where /proc tells it, else 0. */
    private static long processId() {
        try {
            return Long.parseLong(Paths.get("/proc/self").toRealPath().getFileName().toString());
        } catch (IOException | RuntimeException e) {
            return 0;
        }
    }

    /** Copies a resource to a new file, returning the SHA-256 of what was written, in hex. */
    private static String copyHashing(String resource, Path target) throws IOException {
        MessageDigest sha256;
        try {
            sha256 = MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IOException(e);
        }
        try (InputStream in = JVarnel.class.getResourceAsStream(resource);
                OutputStream out = Channels.newOutputStream(Files.newByteChannel(target, NEW_FILE,
                        ownerOnly("rwx------")))) {
            if (in == null) {
                throw new IOException("no " + resource + " in the jar");
            }
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) > 0;) {
                sha256.update(buffer, 0, n);
                out.write(buffer, 0, n);
            }
        }
        StringBuilder hex = new StringBuilder();
        for (byte b : sha256.digest()) {
            hex.append(String.format("%02x", b & 0xff));
        }
        return hex.toString();
    }

    /**
     * Removes the directories earlier loads left in {@code base} (a process killed while loading; on
     * Windows every load): only this user's, only those whose process is gone. Best effort.
     */
    private static void removeLeftovers(Path base, Path own) {
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(base, DIRECTORY_PREFIX + "*")) {
            UserPrincipal me = Files.getOwner(own, LinkOption.NOFOLLOW_LINKS);
            for (Path directory : entries) {
                if (!directory.equals(own) && LEFTOVER_NAME.matcher(directory.getFileName().toString()).matches()
                        && Files.isDirectory(directory, LinkOption.NOFOLLOW_LINKS)
                        && me.equals(Files.getOwner(directory, LinkOption.NOFOLLOW_LINKS)) && !inUse(directory)) {
                    removeDirectory(directory);
                }
            }
        } catch (IOException | RuntimeException e) {
            // Leftovers stay for a later load; this one goes on.
        }
    }

    /** Whether the process that made {@code directory} may still be using it. */
    private static boolean inUse(Path directory) throws IOException {
        Path lock = directory.resolve(LOCK_FILE);
        if (Files.exists(lock, LinkOption.NOFOLLOW_LINKS)) {
            try (FileChannel channel = FileChannel.open(lock, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS)) {
                FileLock held = channel.tryLock();
                if (held == null) {
                    return true;
                }
                held.release();
                return false;
            } catch (OverlappingFileLockException e) {
                return true; // this JVM's own, under another class loader
            }
        }
        // Made, but its lock not yet taken: ask for its process where /proc can, else judge by age.
        String[] parts = directory.getFileName().toString().split("-");
        if (parts.length == 3 && !parts[1].equals("0") && Files.isDirectory(Paths.get("/proc/self"))) {
            return Files.exists(Paths.get("/proc", parts[1]));
        }
        FileTime made = Files.getLastModifiedTime(directory, LinkOption.NOFOLLOW_LINKS);
        return System.currentTimeMillis() - made.toMillis() < UNLOCKED_LEFTOVER_MILLIS;
    }

    /**
     * Deletes what a load puts in {@code directory}, then it; a directory holding anything else
     * stays. Links are deleted themselves, never their targets.
     */
    private static boolean removeDirectory(Path directory) {
        try {
            for (String name : new String[] {System.mapLibraryName(LIBRARY_NAME), LOCK_FILE, LOCK_FILE + ".new"}) {
                Files.deleteIfExists(directory.resolve(name));
            }
            Files.deleteIfExists(directory);
            return true;
        } catch (IOException | RuntimeException e) {
            return !Files.exists(directory, LinkOption.NOFOLLOW_LINKS);
        }
    }

    // Last, so that every static field above is set when it runs.
    static {
        load();
    }
}
