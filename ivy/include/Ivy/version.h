/* Version of the Ivy bus library interface this library implements. */
#ifndef IVY_VERSION_H
#define IVY_VERSION_H

#define IVYMAJOR_VERSION 3
#define IVYMINOR_VERSION 15

#endif
