'use strict';

function loginPage() {
    console.log('LoginPage');
    dom.hide_sidebar();
    document.querySelector('.navbar .username').textContent = '';
    document.querySelector('.navbar .logout').style.display = 'none';

    ORV.checkRootPermissions(function (hasRights) {
        setTimeout(function () {
            document.querySelector('.splash-screen').style.display = 'none';
            if (hasRights) {
                login.showPage();
                return;
            }
            ORV.canObtainRootPermissions(function (canObtain) {
                root.showPage(!canObtain);
            });
        }, login.splashDelayMs);
    });
}

// Shows a message in the feedback row; it is readable only while the row is red.
function showFeedback(container, key) {
    var feedback = container.querySelector('.form-row-feedback');
    feedback.textContent = i18next.t(key);
    feedback.classList.add('bg-red');
}

function setOverlay(container, shown) {
    container.querySelector('.form-overlay').classList.toggle('hidden', !shown);
}

var login = {
    username: undefined,
    splashDelayMs: 650,

    container: function () {
        return document.getElementById('loginContainer');
    },

    listen: function () {
        ORV_EVENTS.addListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.addListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        ORV_EVENTS.addListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);
        ORV_EVENTS.addListener(EVENT_LOAD_DOMAINS_ERROR, login.on_domains_load_error);
        ORV_EVENTS.addListener(EVENT_AUTH_LOGOUT, login.on_logout);
    },

    showPage: function () {
        login.listen();

        app_router.loadPage('login', {});
        var container = login.container();
        container.querySelector('input[name="username"]').focus();
        container.querySelector('.form-row-feedback').classList.remove('bg-red');
        setOverlay(container, false);

        container.querySelector('button.login').addEventListener('click', function () {
            container.querySelector('.form-row-feedback').classList.remove('bg-red');
            var username = container.querySelector('input[name="username"]').value;
            var password = container.querySelector('input[name="password"]').value;
            if (username === '') {
                showFeedback(container, 'empty_username');
            } else if (password === '') {
                showFeedback(container, 'empty_password');
            } else {
                login.username = username;
                setOverlay(container, true);
                ORV.auth.login(username, password);
            }
        });
        container.querySelector('button.forgot-password').addEventListener('click', function () {
            ORV.forgotPassword();
        });
        container.addEventListener('keyup', function (event) {
            if (event.keyCode === 13) {
                container.querySelector(login.loadFailedShown() ? 'button.load-retry' : 'button.login').click();
            }
        });
        container.querySelector('button.load-retry').addEventListener('click', function () {
            setOverlay(container, true);
            ORV.loadDomains();
        });
        container.querySelector('button.load-logout').addEventListener('click', function () {
            ORV.logout();
        });

        ORV.auth.isAuthenticated(function (authenticated) {
            ORV.auth.isTryLogin(function (tryingLogin) {
                var logout = document.querySelector('.navbar .logout');
                if (tryingLogin) {
                    console.log('Already try login');
                    setOverlay(container, true);
                    logout.style.display = '';
                } else if (authenticated) {
                    console.log('Already logged in');
                    setOverlay(container, true);
                    logout.style.display = '';
                    ORV.loadDomains();
                } else {
                    logout.style.display = 'none';
                    // The login from the stored credentials may have failed before this page could listen.
                    ORV.auth.getLoginErrorStatus(login.showLoginError);
                }
            });
        });
    },

    on_login_success: function () {
        console.log('SUCCESS LOGIN');
        var container = login.container();
        if (container !== null) {
            setOverlay(container, false);
        }
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        if (login.username !== undefined) {
            document.querySelector('.navbar .username').textContent = login.username;
        }
        document.querySelector('.navbar .logout').style.display = '';
        ORV.loadDomains();
    },

    // A login that got no HTTP answer (no route, refused connection, TLS failure, time-out) or a portal
    // failing on its side is not a refusal of the credentials.
    portalUnreachable: function (status) {
        return typeof status !== 'number' || status <= 0 || status >= 500;
    },

    on_login_error: function () {
        ORV.auth.getLoginErrorStatus(login.showLoginError);
    },

    // Status 0: no login has failed.
    showLoginError: function (status) {
        var container = login.container();
        if (container === null || status === 0) {
            return;
        }
        setOverlay(container, false);
        showFeedback(container, login.portalUnreachable(status) ? 'portal_unreachable' : 'wrong_credentials');
    },

    loadFailedShown: function () {
        var container = login.container();
        return container !== null && !container.querySelector('.load-error').classList.contains('hidden');
    },

    // Logged in, but the first list of domains did not come: say so, and offer a retry or a logout.
    on_domains_load_error: function () {
        ORV.auth.isAuthenticated(function (authenticated) {
            var container = login.container();
            if (container === null || !authenticated) {
                return;
            }
            setOverlay(container, false);
            container.querySelector('.login-form').classList.add('hidden');
            container.querySelector('.load-error').classList.remove('hidden');
            document.querySelector('.navbar .logout').style.display = '';
            container.querySelector('button.load-retry').focus();
        });
    },

    // The route stays "login", so nothing redraws the screen: back to an empty form, ready for a new login.
    on_logout: function () {
        var container = login.container();
        if (container === null) {
            return;
        }
        login.listen();
        setOverlay(container, false);
        container.querySelector('.load-error').classList.add('hidden');
        container.querySelector('.login-form').classList.remove('hidden');
        container.querySelector('.form-row-feedback').classList.remove('bg-red');
        container.querySelector('input[name="password"]').value = '';
        document.querySelector('.navbar .username').textContent = '';
        document.querySelector('.navbar .logout').style.display = 'none';
        container.querySelector('input[name="username"]').focus();
    },

    on_domains_loaded: function () {
        console.log('Domains loaded');
        ORV_EVENTS.removeListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);
        ORV_EVENTS.removeListener(EVENT_LOAD_DOMAINS_ERROR, login.on_domains_load_error);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGOUT, login.on_logout);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        app_router.navigate('domains', { trigger: true });
    }
};

var root = {
    checkDelayMs: 500,

    showPage: function (withErrorMessage) {
        app_router.loadPage('root', {});
        var container = document.getElementById('rootContainer');
        var password = container.querySelector('input[name="password"]');
        var button = container.querySelector('button.login');
        password.focus();
        container.querySelector('.form-row-feedback').classList.remove('bg-red');
        setOverlay(container, false);

        container.addEventListener('keyup', function (event) {
            if (event.keyCode === 13) {
                button.click();
            }
        });

        var form = container.querySelector('.root-permissions-form');
        var message = container.querySelector('.root-permissions-error-message');
        if (withErrorMessage) {
            message.classList.remove('hidden');
            form.classList.add('hidden');
            // The password field is gone: the screen itself takes the keys, so that Enter still reaches it.
            container.setAttribute('tabindex', '-1');
            container.focus();
            button.addEventListener('click', function () {
                ORV.kill();
            });
            return;
        }
        form.classList.remove('hidden');
        message.classList.add('hidden');
        button.addEventListener('click', function () {
            container.querySelector('.form-row-feedback').classList.remove('bg-red');
            var typed = password.value;
            if (typed === '') {
                showFeedback(container, 'empty_password');
                return;
            }
            setOverlay(container, true);
            setTimeout(function () {
                ORV.checkRootPermissionsWithPassword(typed, function (accepted) {
                    if (accepted) {
                        ORV.restartAsRoot(typed);
                    } else {
                        setOverlay(container, false);
                        showFeedback(container, 'wrong_root_password');
                    }
                });
            }, root.checkDelayMs);
        });
    }
};
