! Whole solves from Fortran with module blockkrylov_solve: two tridiagonal
! systems with six right-hand sides, each solved by every method that applies
! to it, once with A given as a procedure and once as a CSR matrix:
!   helmholtz   complex-symmetric (A = A^T, not Hermitian): symmetric, qmr, gmres
!   convection  general: qmr (with the A^T procedure), gmres
! Every solution is checked on its true residual, formed here independently
! of the library, and against the residuals the library reports.

! The operator: A(i,i) = diag, A(i+1,i) = sub, A(i,i+1) = sup, set per problem.
! Operators are module procedures here; an internal procedure that uses its
! host's variables works as well, but gfortran then builds it a trampoline on
! the stack, which needs an executable stack.
module example_operator
  use, intrinsic :: iso_c_binding, only: c_double_complex
  implicit none
  complex(c_double_complex) :: diag, sub, sup
contains

  ! y = A x and y = A^T x.
  subroutine apply_a(k, x, y)
    integer, intent(in) :: k
    complex(c_double_complex), intent(in) :: x(:, :)
    complex(c_double_complex), intent(out) :: y(:, :)
    call tridiagonal_multiply(k, diag, sub, sup, x, y)
  end subroutine apply_a

  subroutine apply_at(k, x, y)
    integer, intent(in) :: k
    complex(c_double_complex), intent(in) :: x(:, :)
    complex(c_double_complex), intent(out) :: y(:, :)
    call tridiagonal_multiply(k, diag, sup, sub, x, y)
  end subroutine apply_at

  subroutine tridiagonal_multiply(k, d, lo, up, x, y)
    integer, intent(in) :: k
    complex(c_double_complex), intent(in) :: d, lo, up, x(:, :)
    complex(c_double_complex), intent(out) :: y(:, :)
    integer :: c, rows
    rows = size(x, 1)
    do c = 1, k
      y(:, c) = d * x(:, c)
      y(2:rows, c) = y(2:rows, c) + lo * x(1:rows-1, c)
      y(1:rows-1, c) = y(1:rows-1, c) + up * x(2:rows, c)
    end do
  end subroutine tridiagonal_multiply

end module example_operator

program example_solve
  use, intrinsic :: iso_c_binding, only: c_double, c_double_complex, c_int64_t
  use blockkrylov_solve
  use example_operator
  implicit none

  integer, parameter :: dp = c_double, n = 300, nrhs = 6
  real(dp), parameter :: rtol = 1.0e-10_dp
  character(*), parameter :: methods(3) = [character(9) :: 'symmetric', 'qmr', 'gmres']

  complex(c_double_complex) :: b(n, nrhs), x(n, nrhs)
  integer(c_int64_t), allocatable :: rowptr(:)
  integer, allocatable :: colind(:)
  complex(c_double_complex), allocatable :: values(:)
  real(dp) :: res(nrhs)
  integer(c_int64_t) :: products
  character(200) :: message
  character(10) :: problem
  integer :: p, m, form, status, i, j, bs
  logical :: ok

  do j = 1, nrhs
    do i = 1, n
      b(i, j) = cmplx(cos(0.3_dp * i * j), sin(0.07_dp * i + j), kind=dp)
    end do
  end do

  ok = .true.
  do p = 1, 2
    if (p == 1) then
      problem = 'helmholtz'
      diag = (1.7_dp, 0.2_dp); sub = (-1.0_dp, 0.0_dp); sup = sub
    else
      problem = 'convection'
      diag = (2.5_dp, 0.5_dp); sub = (-1.4_dp, 0.0_dp); sup = (-0.6_dp, 0.1_dp)
    end if
    call tridiagonal_csr(n, diag, sub, sup, rowptr, colind, values)
    do m = 1, size(methods)
      if (methods(m) == 'symmetric' .and. sub /= sup) cycle   ! needs A = A^T
      ! Blocks of three columns, two blocks per solve. The two-sided process has
      ! no look-ahead, and with blocks of several columns it breaks down on the
      ! convection matrix: it gets one column at a time.
      bs = merge(1, 3, methods(m) == 'qmr')
      do form = 1, 2
        x = (0.0_dp, 0.0_dp)
        if (form == 1) then
          call solve(apply_a, b, x, status, at=apply_at, method=methods(m), rtol=rtol, block_size=bs, &
                     residuals=res, products=products, message=message)
        else
          call solve_csr(rowptr, colind, values, b, x, status, method=methods(m), rtol=rtol, &
                         block_size=bs, residuals=res, products=products, message=message)
        end if
        call check(trim(problem) // ' ' // trim(methods(m)) // merge(' procedure', ' csr      ', form == 1))
      end do
    end do
  end do

  deallocate(rowptr, colind, values)
  if (.not. ok) then
    print '(a)', 'example_solve: FAILED'
    error stop 1
  end if
  print '(a)', 'example_solve: OK'

contains

  ! The status must be converged, the true residual of every column within
  ! rtol (a little slack for rounding) and equal to the reported one.
  subroutine check(label)
    character(*), intent(in) :: label
    complex(c_double_complex) :: r(n, nrhs)
    real(dp) :: rel(nrhs)
    call apply_a(nrhs, x, r)
    r = b - r
    rel = norm2(abs(r), dim=1) / norm2(abs(b), dim=1)
    print '(a, 1x, a, 1x, i6, 1x, es10.3)', label, status_name(status), products, maxval(rel)
    if (status /= BK_CONVERGED .or. any(rel > 1.01_dp * rtol) .or. any(abs(rel - res) > 1.0e-3_dp * rtol)) then
      print '(a)', '  FAILED: ' // trim(message)
      ok = .false.
    end if
  end subroutine check

  ! 1-based CSR with sorted columns.
  subroutine tridiagonal_csr(order, d, lo, up, rp, ci, v)
    integer, intent(in) :: order
    complex(c_double_complex), intent(in) :: d, lo, up
    integer(c_int64_t), allocatable, intent(out) :: rp(:)
    integer, allocatable, intent(out) :: ci(:)
    complex(c_double_complex), allocatable, intent(out) :: v(:)
    integer :: row, col, nz
    allocate(rp(order + 1), ci(3 * order - 2), v(3 * order - 2))
    nz = 0
    rp(1) = 1
    do row = 1, order
      do col = max(row - 1, 1), min(row + 1, order)
        nz = nz + 1
        ci(nz) = col
        v(nz) = merge(d, merge(lo, up, col < row), col == row)
      end do
      rp(row + 1) = nz + 1
    end do
  end subroutine tridiagonal_csr

end program example_solve
