// The entry-point call helper of 32-bit Windows (see platform/EntryCall.h):
// cdecl and stdcall entry points alike leave the stack as it was.
#include "platform/EntryCall.h"

// uint32_t kst_CallWords(const void* entry, const uint32_t* words,
//                        uint32_t count, uint32_t* removed)
// float kst_CallReal(...)   the same code; the result is then in st0
//
// The frame pointer keeps the caller's stack; the arguments are copied into
// a 16-byte aligned block (what GCC-built callees expect), the callee is
// called, and the stack pointer is put back from the frame pointer, whatever
// the callee took off. edi holds the stack pointer as the callee received it
// (callee-saved under both conventions), so the bytes it removed are the
// difference. eax and st0 pass through untouched; edx is used afterwards,
// which is why no entry point may return 64 bits.
asm(R"(
    .text
    .p2align 4
    .globl _kst_CallWords
    .globl _kst_CallReal
_kst_CallWords:
_kst_CallReal:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
    leal 0(,%ecx,4), %eax
    subl %eax, %esp
    andl $-16, %esp
    xorl %edx, %edx
1:  cmpl %ecx, %edx
    jae 2f
    movl (%esi,%edx,4), %eax
    movl %eax, (%esp,%edx,4)
    incl %edx
    jmp 1b
2:  movl %esp, %edi
    call *8(%ebp)
    movl %esp, %ecx
    subl %edi, %ecx
    movl 20(%ebp), %edx
    testl %edx, %edx
    jz 3f
    movl %ecx, (%edx)
3:  leal -8(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
