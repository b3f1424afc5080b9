/* A library that calls its own functions, as PAPPL does those the
   application defines in front of it; built once as usual and once with
   its calls bound inside it (-Bsymbolic-functions). */
#define JOIN(prefix, name) prefix##_##name
#define NAMED(prefix, name) JOIN(prefix, name)
#define OWN(name) NAMED(STAND_IN, name)

int OWN(mended)(int value) { return value + 1; }
int OWN(unmended)(int value) { return value + 2; }
int OWN(anchor)(int value) { return OWN(mended)(value) + OWN(unmended)(value); }
int OWN(private_call)(void) { return 0; }
