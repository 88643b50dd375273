/* What the library shows to the rest of the process: VARNEL_API marks it.
 * On Windows a module's .def file alone decides what it exports. */
#ifndef VARNEL_VISIBILITY_H
#define VARNEL_VISIBILITY_H

#if defined(_WIN32)
#define VARNEL_API
#else
#define VARNEL_API __attribute__((visibility("default")))
#endif

#endif /* VARNEL_VISIBILITY_H */
