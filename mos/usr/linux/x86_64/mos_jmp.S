/* Context save and restore for user-mode threads (System V x86-64). */
    .text

/* int mosJmp_Save(MosJmpBuf *pBuf) */
    .globl mosJmp_Save
    .type mosJmp_Save, @function
mosJmp_Save:
    .cfi_startproc
    movq (%rsp), %rax
    movq %rsp, 0(%rdi)
    movq %rbp, 8(%rdi)
    movq %rax, 16(%rdi)
    movq %rbx, 24(%rdi)
    movq %r12, 32(%rdi)
    movq %r13, 40(%rdi)
    movq %r14, 48(%rdi)
    movq %r15, 56(%rdi)
    xorl %eax, %eax
    ret
    .cfi_endproc
    .size mosJmp_Save, .-mosJmp_Save

/* void mosJmp_Restore(const MosJmpBuf *pBuf, int val): always makes the save return 1. */
    .globl mosJmp_Restore
    .type mosJmp_Restore, @function
mosJmp_Restore:
    .cfi_startproc
    movq 0(%rdi), %rsp
    movq 8(%rdi), %rbp
    movq 24(%rdi), %rbx
    movq 32(%rdi), %r12
    movq 40(%rdi), %r13
    movq 48(%rdi), %r14
    movq 56(%rdi), %r15
    movq 16(%rdi), %rax
    movq %rax, (%rsp)
    movl $1, %eax
    ret
    .cfi_endproc
    .size mosJmp_Restore, .-mosJmp_Restore

/* Entered by a restore whose stack word sits 8 bytes below a 16-byte boundary, so that the
   call below sees the stack alignment that the ABI requires. The entry context carries the
   uthread's record in rbx. */
    .globl mosJmp_NewStackEntry
    .type mosJmp_NewStackEntry, @function
mosJmp_NewStackEntry:
    .cfi_startproc
    .cfi_undefined rip
    movq %rbx, %rdi
    xorl %ebp, %ebp
    call mosUmt_StartFunc
    ud2
    .cfi_endproc
    .size mosJmp_NewStackEntry, .-mosJmp_NewStackEntry

    .section .note.GNU-stack,"",@progbits
