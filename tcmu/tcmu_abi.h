/*
 * The kernel's TCMU ABI (linux/target_core_user.h), made to live beside the
 * C library's headers: it pulls in linux/uio.h, whose struct iovec clashes
 * with the C library's one of the same layout, so the C library's is taken
 * and the kernel's skipped. Include this instead of the kernel's header.
 * (Sources that include it are built with -fpermissive: the header's inline
 * helpers convert an integer to an enum, which C++ refuses.)
 */
#ifndef ZK_TCMU_ABI_H
#define ZK_TCMU_ABI_H

#include <sys/uio.h>
#ifndef __LINUX_UIO_H
#define __LINUX_UIO_H 1
#endif
#include <linux/target_core_user.h>

#endif
