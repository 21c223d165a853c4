"""The posterior sampler (questrand posterior).

(a) A model linear in the log-parameters, y = A theta + b, with Gaussian
noise of known sigma and a prior flat far beyond the likelihood: the
posterior is exactly Gaussian, mean (A^T A)^-1 A^T (d - b) and covariance
sigma^2 (A^T A)^-1.  The sampled moments are judged against these with
the Monte-Carlo error of ESS = N / tau effective samples: the mean of
theta_k within 4 sqrt(S_kk / ESS), a variance within 4 S_kk sqrt(2 / ESS)
(the variance of a sample variance of a Gaussian is 2 S^2 / N), the
covariance within 4 sqrt((S_11 S_22 + S_12^2) / ESS).  The tau of theta
bounds that of theta^2 and of theta_1 theta_2 from above for a chain that
mixes like an AR(1) process, so these bounds are conservative.

(b) The command on a flow-free membrane over a thin gel, the data the
exact two-layer series (slab_series.py) plus seeded noise with its sigma
column: a short chain writes its CSV and corner plot, and the sampled
95 % interval of each diffusivity holds the truth.
"""

import time

import numpy as np
import pytest

from questrand.posterior import TAU_FACTOR, chain_warning, gaussian_log_posterior, sample
from slab_series import TwoLayerSlab
from test_accuracy import MEMBRANE, TIMES, cli, slab_problem, write_curve


def linear_problem(seed=5):
    """A linear map of two strongly correlated log-parameters to 20 data,
    the data drawn with sigma 0.05, and the exact posterior moments."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 1.0, 20)
    design = np.column_stack([1.0 + t, 1.0 + 0.6 * t])    # nearly parallel columns: correlation
    offset = np.sin(3.0 * t)
    truth = np.log([2e-10, 5e-10])
    sigma = 0.05
    observed = design @ truth + offset + sigma * rng.standard_normal(len(t))
    normal = design.T @ design
    mean = np.linalg.solve(normal, design.T @ (observed - offset))
    cov = sigma ** 2 * np.linalg.inv(normal)
    return design, offset, observed, sigma, mean, cov


def test_linear_gaussian_moments_are_the_exact_ones():
    design, offset, observed, sigma, mean, cov = linear_problem()
    sd = np.sqrt(np.diag(cov))
    lower, upper = mean - 30 * sd, mean + 30 * sd          # the flat prior: no truncation felt
    log_prob = gaussian_log_posterior(lambda thetas: thetas @ design.T + offset, observed, sigma,
                                      lower, upper)
    started = time.perf_counter()
    # started away from the mode (3 sd off), a ball of 0.1 sd: the burn-in must forget it
    chain = sample(log_prob, mean + 3 * sd, 0.1 * sd, ["a", "b"], walkers=16, max_steps=20000,
                   seed=2, lower=lower, upper=upper)
    seconds = time.perf_counter() - started
    kept = chain.kept()
    ess = chain.effective_samples()
    got_mean = kept.mean(axis=0)
    got_cov = np.cov(kept.T)
    rho = cov[0, 1] / np.prod(sd)
    print(f"\ntau {chain.tau}, {chain.steps} steps, ESS {ess}, acceptance {chain.acceptance.mean():.3f}, "
          f"{seconds:.1f} s; exact correlation {rho:.4f}")
    print(f"mean: sampled {got_mean}, exact {mean}, off by {(got_mean - mean) / sd} sd")
    print(f"cov: sampled {got_cov.ravel()}, exact {cov.ravel()}")
    assert chain.converged and chain.steps >= TAU_FACTOR * chain.tau.max()
    assert chain_warning(chain) is None
    assert 0.2 < chain.acceptance.mean() < 0.9
    n_eff = ess.min()
    assert np.all(np.abs(got_mean - mean) < 4 * sd / np.sqrt(n_eff))
    for k in range(2):
        assert abs(got_cov[k, k] / cov[k, k] - 1) < 4 * np.sqrt(2 / n_eff)
    assert abs(got_cov[0, 1] - cov[0, 1]) < 4 * np.sqrt((cov[0, 0] * cov[1, 1] + cov[0, 1] ** 2) / n_eff)
    # the quantiles of a Gaussian: the median at the mean, 2.5/97.5 % at -+1.96 sd (in ln p)
    q = np.log(chain.quantiles())
    assert np.all(np.abs(q[:, 1] - mean) < 5 * sd / np.sqrt(n_eff))
    assert np.all(np.abs((q[:, 2] - q[:, 0]) / (2 * 1.96 * sd) - 1) < 0.1)


def test_a_chain_cut_short_says_so_with_its_tau():
    design, offset, observed, sigma, mean, cov = linear_problem()
    sd = np.sqrt(np.diag(cov))
    log_prob = gaussian_log_posterior(lambda thetas: thetas @ design.T + offset, observed, sigma,
                                      mean - 30 * sd, mean + 30 * sd)
    chain = sample(log_prob, mean, 0.1 * sd, ["a", "b"], walkers=8, max_steps=120, seed=1)
    assert not chain.converged and chain.steps == 120
    warning = chain_warning(chain)
    assert "too short" in warning and f"tau {chain.tau.max():.3g}" in warning
    # outside the prior's support nothing is predicted and the density is zero
    assert log_prob(np.array([mean + 31 * sd]))[0] == -np.inf


def test_command_on_a_membrane_over_a_thin_gel(program, tmp_path):
    d_memb, d_gel, th_gel = 2e-10, 5e-10, 1e-4
    slab_problem(8e-11, 5e-10, th_gel=th_gel, n_gel=4).write(tmp_path / "PROB.INP")
    truth = TwoLayerSlab(d_memb, MEMBRANE, d_gel, th_gel, t_min=min(TIMES))
    rng = np.random.default_rng(3)
    sigma = np.full(len(TIMES), 2e-3)
    write_curve(tmp_path / "data.csv", "c_gel_mean", TIMES,
                truth.gel_mean(TIMES) + sigma * rng.standard_normal(len(TIMES)), sigma)
    started = time.perf_counter()
    done = cli("posterior", "PROB.INP", "data.csv", "--param", "diff_memb", "--param", "diff_gel",
               "--no-grid-check", "--scheme", "second-order", "--jobs", "1", "--walkers", "8",
               "--max-steps", "300", "--seed", "1", "--out", "post", cwd=tmp_path)
    seconds = time.perf_counter() - started
    print(done.stdout, done.stderr[-1500:], f"{seconds:.1f} s", sep="\n")
    # 300 steps are fewer than 50 tau here: a result, flagged as rough
    assert done.returncode in (0, 3), done.stderr
    if done.returncode == 3:
        assert "the chain is too short" in done.stderr and "tau" in done.stderr
    assert (tmp_path / "post" / "corner.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    import pandas as pd
    chain = pd.read_csv(tmp_path / "post" / "chain.csv")
    assert list(chain.columns) == ["walker", "step", "log_probability", "diff_memb", "diff_gel"]
    assert len(chain) == 8 * 300 and chain["walker"].nunique() == 8
    kept = chain[chain["step"] >= 150]
    for name, value in (("diff_memb", d_memb), ("diff_gel", d_gel)):
        lo, hi = np.percentile(kept[name], [2.5, 97.5])
        assert lo < value < hi, (name, lo, hi)
        row = [line for line in done.stdout.splitlines() if line.startswith(name)][-1]  # the posterior's
        assert row.split()[1] == "m2/s"
        posterior = [float(v) for v in row.split()[-5:-2]]   # its 2.5/50/97.5 % quantiles
        assert posterior[0] < value < posterior[2], (name, row)
    assert "acceptance fraction" in done.stdout and "ESS" in done.stdout
