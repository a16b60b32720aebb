! Solves A X = B for a complex-symmetric tridiagonal A (a 1D Helmholtz
! operator with a complex shift: A = A^T, not Hermitian) and two right-hand
! sides with c_zdsym_blanczos1, then checks the true residual.
!
! The host loop: put X0 = 0 in X and R0 = B in Vn, call with revcom = 0;
! revcom = 1 asks for APn = A*Pn; revcom = 2 means X was updated. Rows 1..s
! of TAU then hold the quasi-residual block, whose column norms estimate the
! residual norms cheaply; only when the estimate is below the tolerance is
! the true residual B - A X formed, and only it decides convergence.
program example_symmetric
  use, intrinsic :: iso_c_binding, only: c_int32_t, c_double, c_double_complex
  use blockkrylov
  implicit none

  integer(c_int32_t), parameter :: n = 400, s = 2
  real(c_double), parameter :: tol = 1.0e-10_c_double
  integer, parameter :: max_steps = 2000
  complex(c_double_complex), parameter :: diag = (1.7_c_double, 0.2_c_double), off = (-1.0_c_double, 0.0_c_double)

  complex(c_double_complex) :: b(n, s), x(n, s), vn(n, s), pn(n, s), d(n, s), apn(n, s), r(n, s)
  real(c_double) :: gamma(s), gammaold(s), rho(s), rhoold(s)
  complex(c_double_complex) :: esvb(s, 4*s), dsvb(s, 4*s), esv(s+1), dsv(s+1)
  complex(c_double_complex) :: qrs(3*s+3, 2*s), rinv(s, 2*s), up(s, s), tau(2*s, s), svwork(s, 3*s)
  real(c_double) :: bnorm(s), rnorm(s), est(s)
  integer(c_int32_t) :: revcom, info
  integer :: i, j, steps
  logical :: done

  ! Two right-hand sides: a point source and a smooth profile.
  b = (0.0_c_double, 0.0_c_double)
  b(133, 1) = (1.0_c_double, 0.0_c_double)
  do i = 1, n
    b(i, 2) = cmplx(sin(0.05_c_double*i), cos(0.02_c_double*i), kind=c_double_complex)
  end do
  call c_colblocknorms(b, n, n, s, bnorm)

  x = (0.0_c_double, 0.0_c_double)
  vn = b
  revcom = 0
  steps = 0
  done = .false.
  do while (.not. done)
    info = c_zdsym_blanczos1(n, s, revcom, x, vn, pn, d, apn, gamma, gammaold, rho, rhoold, &
                             esvb, esv, dsvb, dsv, qrs, rinv, up, tau, svwork)
    if (info /= 0) then
      print '(a, i0)', 'example_symmetric: the solver failed with result ', info
      error stop 1
    end if
    select case (revcom)
    case (1)
      call multiply(pn, apn)
    case (2)
      steps = steps + 1
      ! Cheap estimate: column norms of rows 1..s of TAU.
      do j = 1, s
        est(j) = sqrt(sum(abs(tau(1:s, j))**2)) / bnorm(j)
      end do
      if (all(est <= tol)) then
        call multiply(x, r)
        r = b - r
        call c_colblocknorms(r, n, n, s, rnorm)
        done = all(rnorm <= tol * bnorm)
      end if
      if (steps >= max_steps) exit
    case default
      print '(a, i0)', 'example_symmetric: unexpected revcom ', revcom
      error stop 1
    end select
  end do

  call multiply(x, r)
  r = b - r
  call c_colblocknorms(r, n, n, s, rnorm)
  print '(a, i0, a)', 'example_symmetric: ', steps, ' block steps'
  do j = 1, s
    print '(a, i0, a, es10.3)', '  column ', j, ': relative residual ', rnorm(j) / bnorm(j)
  end do
  if (.not. all(rnorm <= 10 * tol * bnorm)) then
    print '(a)', 'example_symmetric: residual too large'
    error stop 1
  end if
  print '(a)', 'example_symmetric: OK'

contains

  ! y = A x for the tridiagonal A, column by column.
  subroutine multiply(xin, y)
    complex(c_double_complex), intent(in) :: xin(n, s)
    complex(c_double_complex), intent(out) :: y(n, s)
    integer :: c
    do c = 1, s
      y(:, c) = diag * xin(:, c)
      y(1:n-1, c) = y(1:n-1, c) + off * xin(2:n, c)
      y(2:n, c) = y(2:n, c) + off * xin(1:n-1, c)
    end do
  end subroutine multiply

end program example_symmetric
