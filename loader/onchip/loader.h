#ifndef FERRULE_ONCHIP_LOADER_H
#define FERRULE_ONCHIP_LOADER_H
/* Ferrule's loader program: answers the requests of protocol.h over UART0 until the input ends
 * (on the module: never). */

/* Forgets every earlier session; to be called before loader_serve. */
void loader_init(void);
/* Sends the PING reply unasked, then serves requests one after the other. */
void loader_serve(void);

#endif
