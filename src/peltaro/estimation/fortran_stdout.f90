! Reconnects the Fortran runtime's unit 6 to the null device.
!
! L-BFGS-B 3.0 reports some line-search failures with WRITE(6,*) whatever its
! print level says, and unit 6 is preconnected to the process's standard
! output. The runtime's unit table is one per process, so this must run once,
! before the first call of the routine, and never around each call.
!
! Every Fortran routine that shares this runtime (the system libgfortran) then
! writes its unit 6, PRINT and WRITE(*,...) included, to the null device too;
! code with its own copy of the runtime keeps its own unit 6, and unit 0
! (standard error) is untouched. Reconnecting a unit closes its old connection
! first, but the runtime never closes the descriptor of standard output itself.
!
! A failed OPEN would leave unit 6 unconnected, and the runtime would then
! create a file "fort.6" in the working directory at the routine's next WRITE.
! So the null device is first opened on a unit of its own: if that fails,
! unit 6 is left on standard output.
subroutine peltaro_silence_fortran_stdout() bind(C, name="peltaro_silence_fortran_stdout")
  implicit none
  integer :: probe, status

  open(newunit=probe, file="/dev/null", status="old", action="write", iostat=status)
  if (status /= 0) return
  close(probe)
  open(unit=6, file="/dev/null", status="old", action="write", iostat=status)
end subroutine peltaro_silence_fortran_stdout
