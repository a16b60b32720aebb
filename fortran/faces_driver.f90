! Prints one line per case of a fixed problem set, solved through solve_csr
! (bk_solve_csr with base 1), for comparison with the other language faces:
!   <problem> <method> <status> <products> <maxres>
! maxres is the largest true relative residual the library reports, written
! like C's "%.3e". Problems (n = 200, four right-hand sides):
!   helmholtz   A(i,i) = 1.7+0.2i, A(i+1,i) = A(i,i+1) = -1
!   convection  A(i,i) = 2.5+0.5i, A(i+1,i) = -1.4, A(i,i+1) = -0.6+0.1i
! Right-hand sides from integer arithmetic alone, so that every language
! builds the same bits (library cos and sin differ in the last bits between
! scalar and vectorised versions, and the solves, Lanczos restarts in
! particular, would then differ in products and residuals):
!   b(i,j) = (u mod 1009)/1009 - 1/2 + i ((v mod 997)/997 - 1/2),
!   u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13.
! rtol 1e-8, block size 4. The kernels' records (near-breakdown warnings) go
! to standard error while solving, so that standard output holds the five
! lines only.
program faces_driver
  use, intrinsic :: iso_c_binding, only: c_double, c_double_complex, c_int64_t, c_int, c_ptr, c_null_ptr
  use, intrinsic :: ieee_arithmetic, only: ieee_is_nan, ieee_is_finite
  use, intrinsic :: iso_fortran_env, only: output_unit
  use blockkrylov_solve
  implicit none

  integer, parameter :: dp = c_double, n = 200, nrhs = 4

  ! POSIX calls that point descriptor 1 at standard error around each solve.
  interface
    integer(c_int) function libc_dup(fd) bind(C, name="dup")
      import :: c_int
      integer(c_int), value :: fd
    end function libc_dup
    integer(c_int) function libc_dup2(fd, fd2) bind(C, name="dup2")
      import :: c_int
      integer(c_int), value :: fd, fd2
    end function libc_dup2
    integer(c_int) function libc_close(fd) bind(C, name="close")
      import :: c_int
      integer(c_int), value :: fd
    end function libc_close
    integer(c_int) function libc_fflush(stream) bind(C, name="fflush")
      import :: c_int, c_ptr
      type(c_ptr), value :: stream
    end function libc_fflush
  end interface

  call run('helmholtz', 'symmetric')
  call run('helmholtz', 'qmr')
  call run('helmholtz', 'gmres')
  call run('convection', 'qmr')
  call run('convection', 'gmres')

contains

  subroutine run(problem, method)
    character(*), intent(in) :: problem, method
    complex(c_double_complex) :: diag, sub, sup, b(n, nrhs), x(n, nrhs)
    integer(c_int64_t) :: rowptr(n + 1), products
    integer :: colind(3 * n - 2), i, j, nz, status
    integer(c_int) :: saved, rc
    complex(c_double_complex) :: values(3 * n - 2)
    real(dp) :: res(nrhs)
    character(20) :: count

    if (problem == 'helmholtz') then
      diag = (1.7_dp, 0.2_dp); sub = (-1.0_dp, 0.0_dp); sup = sub
    else
      diag = (2.5_dp, 0.5_dp); sub = (-1.4_dp, 0.0_dp); sup = (-0.6_dp, 0.1_dp)
    end if
    nz = 0
    rowptr(1) = 1
    do i = 1, n   ! row i: columns i-1, i, i+1 in order
      do j = max(i - 1, 1), min(i + 1, n)
        nz = nz + 1
        colind(nz) = j
        values(nz) = merge(diag, merge(sub, sup, j < i), j == i)
      end do
      rowptr(i + 1) = nz + 1
    end do
    do j = 1, nrhs
      do i = 1, n
        b(i, j) = cmplx(real(mod(7919 * i + 104729 * j, 1009), dp) / 1009.0_dp - 0.5_dp, &
                        real(mod(104729 * i + 7919 * j + 13, 997), dp) / 997.0_dp - 0.5_dp, kind=dp)
      end do
    end do
    x = (0.0_dp, 0.0_dp)

    flush(output_unit)
    saved = libc_dup(1_c_int)
    rc = libc_dup2(2_c_int, 1_c_int)
    call solve_csr(rowptr, colind, values, b, x, status, method=method, rtol=1.0e-8_dp, block_size=4, &
                   residuals=res, products=products)
    rc = libc_fflush(c_null_ptr)
    rc = libc_dup2(saved, 1_c_int)
    rc = libc_close(saved)
    write(count, '(i0)') products
    print '(a)', problem // ' ' // method // ' ' // status_name(status) // ' ' // trim(count) // ' ' // &
                 c_style_e3(maxval(res))
    flush(output_unit)
  end subroutine run

  ! v as C's printf("%.3e", v): lowercase e, sign and at least two exponent digits.
  function c_style_e3(v) result(s)
    real(dp), intent(in) :: v
    character(:), allocatable :: s
    character(16) :: buf
    integer :: e
    if (ieee_is_nan(v)) then
      s = 'nan'
      return
    else if (.not. ieee_is_finite(v)) then
      s = merge('-inf', 'inf ', v < 0)
      s = trim(s)
      return
    end if
    write(buf, '(es16.3e3)') v          ! e.g. "      3.456E-009"
    s = trim(adjustl(buf))
    e = index(s, 'E')
    if (s(e+2:e+2) == '0') s = s(:e+1) // s(e+3:)   ! three exponent digits only when needed
    s(e:e) = 'e'
  end function c_style_e3

end program faces_driver
